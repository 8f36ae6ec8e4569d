// What the program's entry point hands the platform before anything else runs.
#pragma once

// The program's arguments, from which GetCommandLineA() gives back the raw command line.
// Windows keeps that line itself, so there this does nothing.
void RecordProgramArguments(int argc, char** argv);

// A write to a pipe or socket whose reader has gone fails as an error instead of ending the
// process: what the program prints is for whoever still reads it, and its going away must not
// stop an update half-way. (POSIX ends a process with SIGPIPE by default; Windows never does.)
void IgnoreBrokenPipes();
