// SIGINT and SIGTERM as the user's request to stop a run, for the POSIX front ends. While a
// StopSignals lives (a run is under way), either signal only sets a flag that the front end's
// pump takes (Take) and turns into the dialog's Cancel; before and after, the actions that were
// there apply (the program ends, the terminal's mode given back). A signal that came and was not
// taken when the object goes is raised again then, under those actions. One at a time.
#pragma once

#include <optional>

class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Whether a stop signal came since the last call.
    static bool Take();
};

// A message box waits for the user, not for the run: while one is open, the actions that were
// there before a run apply again (a signal that came before is raised now).
class StopSignalsPaused {
  public:
    explicit StopSignalsPaused(std::optional<StopSignals>& signals)
        : m_signals(signals), m_bWatched(signals.has_value()) {
        m_signals.reset();
    }
    ~StopSignalsPaused() {
        if (m_bWatched) m_signals.emplace();
    }
    StopSignalsPaused(const StopSignalsPaused&) = delete;
    StopSignalsPaused& operator=(const StopSignalsPaused&) = delete;

  private:
    std::optional<StopSignals>& m_signals;
    bool m_bWatched;
};
