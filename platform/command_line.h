// What the program's entry point hands the platform before anything else runs.
#pragma once

// The program's arguments, from which GetCommandLineA() gives back the raw command line.
// Windows keeps that line itself, so there this does nothing.
void RecordProgramArguments(int argc, char** argv);
