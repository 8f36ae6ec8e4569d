// The program's arguments on POSIX. Supports: keeping them for GetCommandLineA().
// Quirks: none; without this call the line is read from /proc/self/cmdline.
#include "platform/command_line.h"

#include "platform/win32api.h"

void RecordProgramArguments(int argc, char** argv) {
    PosixSetCommandLine(argc, argv);
}
