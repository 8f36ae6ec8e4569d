#include "frontends/stop_signals_posix.h"

#include <csignal>
#include <iterator>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM};
constexpr int kCount = static_cast<int>(std::size(kStopSignals));

volatile sig_atomic_t g_pending = 0;  // the signal that came, 0 when none
struct sigaction g_previous[kCount];
bool g_installed[kCount] = {};

void OnStopSignal(int signal) {
    g_pending = signal;
}

}  // namespace

StopSignals::StopSignals() {
    g_pending = 0;
    for (int i = 0; i < kCount; ++i) {
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        // A signal ignored when the run began (nohup) stays ignored.
        g_installed[i] = sigaction(kStopSignals[i], nullptr, &g_previous[i]) == 0 &&
                         g_previous[i].sa_handler != SIG_IGN &&
                         sigaction(kStopSignals[i], &action, nullptr) == 0;
    }
}

StopSignals::~StopSignals() {
    for (int i = 0; i < kCount; ++i) {
        if (g_installed[i]) sigaction(kStopSignals[i], &g_previous[i], nullptr);
        g_installed[i] = false;
    }
    const int untaken = g_pending;
    g_pending = 0;
    if (untaken != 0) raise(untaken);
}

bool StopSignals::Take() {
    const bool came = g_pending != 0;
    g_pending = 0;
    return came;
}
