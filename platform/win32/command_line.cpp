// The program's arguments on Windows. Supports: nothing to keep.
// Quirks: the system holds the raw command line itself and GetCommandLineA() reads it there.
#include "platform/command_line.h"

void RecordProgramArguments(int, char**) {}
