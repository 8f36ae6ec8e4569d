// The keyboard of a terminal (POSIX termios).
// Supports: Enter, Escape, Space, Tab and Shift+Tab, the arrow keys (normal and application
// mode), letters, and Alt with a letter as terminals send it (Escape, then the letter); other
// escape sequences are read whole and ignored. SIGWINCH wakes the reader as a Resize key.
// Quirks:
//  - A lone Escape is told from the start of a sequence by what follows within kEscapeWaitMs,
//    as every terminal program does; a terminal that splits a sequence by more than that shows
//    its rest as keys (an arrow as Escape then '[' and 'A').
//  - Alt sent as the eighth bit (a meta key not sending Escape) is not recognised.
//  - ISIG stays on: Ctrl+C ends the program with SIGINT even while a long call blocks it, and
//    Ctrl+Z suspends it (the shell keeps and gives back the mode of a stopped job).
//  - The mode is given back in the handlers of the signals that end the process, with
//    tcsetattr (async-signal-safe), then the signal is raised again under the action that was
//    there before ours: the default one, or a sanitizer's report. A signal that was ignored
//    when we started stays ignored.
#include "frontends/terminal/terminal_keys.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iterator>

#include "platform/unique_fd.h"

namespace {

constexpr int kEscapeWaitMs = 100;
constexpr int kNoByte = -1;  // nothing came within the time given
constexpr int kEnd = -2;     // the terminal is gone
constexpr int kResized = -3;

constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGILL,  SIGTRAP, SIGABRT,
                                  SIGBUS, SIGFPE, SIGSEGV, SIGSYS,  SIGXCPU, SIGXFSZ};
constexpr int kSignalCount = static_cast<int>(std::size(kEndingSignals));

// What the signal handlers use: set before they are installed, and g_active cleared before they
// are removed. Only one TerminalKeys exists at a time.
volatile sig_atomic_t g_active = 0;
int g_fd = -1;
termios g_saved{};
int g_resizeFd = -1;
struct sigaction g_previous[kSignalCount];
bool g_installed[kSignalCount] = {};
struct sigaction g_previousResize;

void RestoreMode() {
    if (g_active != 0) tcsetattr(g_fd, TCSANOW, &g_saved);
}

void OnEndingSignal(int signal) {
    RestoreMode();
    for (int i = 0; i < kSignalCount; ++i) {
        if (kEndingSignals[i] == signal) sigaction(signal, &g_previous[i], nullptr);
    }
    // Blocked while this handler runs: it arrives, under the previous action, on return.
    raise(signal);
}

void OnResize(int) {
    int saved = errno;
    if (g_resizeFd >= 0 && write(g_resizeFd, "", 1) < 0) {
        // A full pipe already holds a wake-up; nothing else can be done in a handler.
    }
    errno = saved;
}

}  // namespace

struct TerminalKeys::State {
    int fd;
    posix::UniqueFd resizeRead;
    posix::UniqueFd resizeWrite;
    unsigned char buffer[256];
    int next = 0;
    int count = 0;
    bool resized = false;
};

std::unique_ptr<TerminalKeys> TerminalKeys::Open(int fd) {
    termios mode{};
    if (isatty(fd) == 0 || tcgetattr(fd, &mode) != 0) return nullptr;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    auto state = std::make_unique<State>();
    state->fd = fd;
    state->resizeRead.Reset(pipeFds[0]);
    state->resizeWrite.Reset(pipeFds[1]);

    g_fd = fd;
    g_saved = mode;
    g_resizeFd = pipeFds[1];
    g_active = 1;
    static const bool restoredAtExit = std::atexit(RestoreMode) == 0;
    (void)restoredAtExit;
    for (int i = 0; i < kSignalCount; ++i) {
        struct sigaction action {};
        action.sa_handler = OnEndingSignal;
        sigemptyset(&action.sa_mask);
        g_installed[i] = sigaction(kEndingSignals[i], nullptr, &g_previous[i]) == 0 &&
                         g_previous[i].sa_handler != SIG_IGN &&
                         sigaction(kEndingSignals[i], &action, nullptr) == 0;
    }
    struct sigaction resize {};
    resize.sa_handler = OnResize;
    resize.sa_flags = SA_RESTART;
    sigemptyset(&resize.sa_mask);
    sigaction(SIGWINCH, &resize, &g_previousResize);

    termios keys = mode;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &keys);
    return std::unique_ptr<TerminalKeys>(new TerminalKeys(std::move(state)));
}

TerminalKeys::TerminalKeys(std::unique_ptr<State> state) : m_state(std::move(state)) {}

TerminalKeys::~TerminalKeys() {
    RestoreMode();
    g_active = 0;
    sigaction(SIGWINCH, &g_previousResize, nullptr);
    for (int i = 0; i < kSignalCount; ++i) {
        if (g_installed[i]) sigaction(kEndingSignals[i], &g_previous[i], nullptr);
    }
    g_resizeFd = -1;
}

int TerminalKeys::NextByte(int timeoutMs) {
    State& s = *m_state;
    while (s.next == s.count) {
        pollfd fds[2] = {{s.fd, POLLIN, 0}, {s.resizeRead.Get(), POLLIN, 0}};
        int ready = poll(fds, 2, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return kEnd;
        if (ready == 0) return kNoByte;
        if ((fds[1].revents & POLLIN) != 0) {
            char drained[64];
            while (read(s.resizeRead.Get(), drained, sizeof drained) > 0) {
            }
            s.resized = true;
            if (timeoutMs < 0) return kResized;
        }
        if (fds[0].revents != 0) {
            ssize_t n = read(s.fd, s.buffer, sizeof s.buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return kEnd;
            s.next = 0;
            s.count = static_cast<int>(n);
        }
    }
    return s.buffer[s.next++];
}

Key TerminalKeys::Read() {
    if (m_state->resized) {
        m_state->resized = false;
        return {KeyCode::Resize};
    }
    int byte = NextByte(-1);
    switch (byte) {
        case kEnd:
            return {KeyCode::End};
        case kResized:
            m_state->resized = false;
            return {KeyCode::Resize};
        case '\r':
        case '\n':
            return {KeyCode::Enter};
        case '\t':
            return {KeyCode::Tab};
        case ' ':
            return {KeyCode::Space};
        case 0x1b:
            break;
        default:
            if (std::isalpha(byte) != 0) return {KeyCode::Letter, static_cast<char>(byte)};
            return {KeyCode::Other};
    }
    int next = NextByte(kEscapeWaitMs);
    if (next < 0 || next == 0x1b) return {KeyCode::Escape};
    if (next != '[' && next != 'O') {
        if (std::isalpha(next) != 0) return {KeyCode::AltLetter, static_cast<char>(next)};
        return {KeyCode::Other};
    }
    // A control sequence: parameters and intermediates (0x20 to 0x3F) up to its final byte.
    // After "ESC O" the next byte is the final one.
    int last = NextByte(kEscapeWaitMs);
    while (next == '[' && last >= 0x20 && last < 0x40) last = NextByte(kEscapeWaitMs);
    switch (last) {
        case 'A':
            return {KeyCode::Up};
        case 'B':
            return {KeyCode::Down};
        case 'C':
            return {KeyCode::Right};
        case 'D':
            return {KeyCode::Left};
        case 'Z':
            return {KeyCode::BackTab};
        default:
            return {KeyCode::Other};
    }
}

bool TerminalKeys::Waiting() {
    State& s = *m_state;
    if (s.next < s.count || s.resized) return true;
    pollfd fds[2] = {{s.fd, POLLIN, 0}, {s.resizeRead.Get(), POLLIN, 0}};
    return poll(fds, 2, 0) > 0;
}

void TerminalKeys::Discard() {
    tcflush(m_state->fd, TCIFLUSH);
    m_state->next = m_state->count = 0;
}
