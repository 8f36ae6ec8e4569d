// The one application object of the program, with the publisher's key it was built with
// (KESTRIN_PROGRAM_UPDATE_KEY, which CMake gives each program built from this file: the
// KESTRIN_UPDATE_PUBLIC_KEY of the build, or the tests' key for their signed program).
#include "app/updater_app.h"

CUpdaterApp theApp(KESTRIN_PROGRAM_UPDATE_KEY);
