// The one application object of the program.
#include "app/updater_app.h"

CUpdaterApp theApp;
