// What the entry point hands the platform on Windows. Supports: nothing to keep or set.
// Quirks: the system holds the raw command line itself and GetCommandLineA() reads it there; a
// write to a broken pipe is only ever an error there.
#include "platform/command_line.h"

void RecordProgramArguments(int, char**) {}

void IgnoreBrokenPipes() {}
