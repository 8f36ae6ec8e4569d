// The keyboard of a terminal, for the terminal front end: keys read one at a time with echo off,
// the terminal's own mode given back on every way out, and resizes reported as a key.
#pragma once

#include <memory>

enum class KeyCode {
    End,     // the terminal is gone: nothing more will come
    Resize,  // the terminal changed its size (not a key the user pressed)
    Enter,
    Escape,
    Space,
    Tab,
    BackTab,  // Shift+Tab
    Left,
    Right,
    Up,
    Down,
    Letter,     // a letter, in Key::letter as typed
    AltLetter,  // Alt with a letter (the terminal sends Escape, then the letter)
    Other,      // anything else, ignored
};

struct Key {
    KeyCode code;
    char letter = 0;
};

class TerminalKeys {
  public:
    // Takes over the terminal on fd (standard input): no echo, no line editing; Ctrl+C and the
    // other signal keys still signal. The mode found is put back when this object goes, at exit,
    // and on a signal that ends the process (SIGINT, SIGTERM, SIGHUP and the crash signals),
    // before that signal's own action. Null when fd is not a terminal. At most one at a time.
    static std::unique_ptr<TerminalKeys> Open(int fd);
    ~TerminalKeys();
    TerminalKeys(const TerminalKeys&) = delete;
    TerminalKeys& operator=(const TerminalKeys&) = delete;

    // Waits for the next key, or for the terminal to change its size.
    Key Read();
    // Whether a key (or a change of size) waits to be read, without waiting.
    bool Waiting();
    // Drops whatever was typed and not yet read.
    void Discard();

  private:
    struct State;
    explicit TerminalKeys(std::unique_ptr<State> state);
    int NextByte(int timeoutMs);

    std::unique_ptr<State> m_state;
};
