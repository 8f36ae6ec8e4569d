// What the entry point hands the platform on POSIX. Supports: keeping the program's arguments
// for GetCommandLineA(); ignoring SIGPIPE, so a write to a closed pipe or socket fails with
// EPIPE.
// Quirks: without RecordProgramArguments the line is read from /proc/self/cmdline. SIGPIPE
// stays ignored in programs this one would start (it starts none).
#include "platform/command_line.h"

#include <csignal>

#include "platform/win32api.h"

void RecordProgramArguments(int argc, char** argv) {
    PosixSetCommandLine(argc, argv);
}

void IgnoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}
