// SIGINT and SIGTERM as the user's request to stop a run, for the POSIX front ends. While a
// StopSignals lives (a run is under way), either signal only sets a flag that the front end's
// pump takes (Take) and turns into the dialog's Cancel; before and after, the actions that were
// there apply (the program ends, the terminal's mode given back). A signal that came and was not
// taken when the object goes is raised again then, under those actions. One at a time.
#pragma once

class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Whether a stop signal came since the last call.
    static bool Take();
};
