// A run's request to stop, and its pulse. The user's Cancel sets it from the window's thread (or
// a signal's watcher); whatever waits on the network or goes through a long list looks at it
// through Continue, at least every tenth of a second, from any thread. Continue first beats the
// pulse: the window's own work (painting, answering the system, reading a Cancel), which its
// owner keeps to the window's thread and to a frame at most. Neither knows any window system.
#pragma once

#include <atomic>
#include <functional>
#include <utility>

class CancelToken {
  public:
    // The longest a wait that looks at the token may go without looking.
    static constexpr unsigned kPollMs = 50;

    // Beats the pulse, then says whether the run goes on.
    bool Continue() const {
        if (m_pulse) m_pulse();
        return !IsCancelled();
    }
    bool IsCancelled() const { return m_cancelled.load(std::memory_order_acquire); }
    // From any thread; stays set until Reset.
    void Cancel() { m_cancelled.store(true, std::memory_order_release); }
    // A new run begins.
    void Reset() { m_cancelled.store(false, std::memory_order_release); }
    // Set before a run begins, never while one goes on: it may be beaten on any thread.
    void SetPulse(std::function<void()> pulse) { m_pulse = std::move(pulse); }

  private:
    std::atomic<bool> m_cancelled{false};
    std::function<void()> m_pulse;
};

// Whether a run that watches token (null: none) goes on; see CancelToken::Continue.
inline bool Continues(const CancelToken* token) {
    return token == nullptr || token->Continue();
}
