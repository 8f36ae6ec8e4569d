// The front end on Windows: always the system's own dialogs.
#include "frontends/select_frontend.h"
#include "frontends/win32/win32_frontend.h"

std::unique_ptr<CFrontEnd> SelectFrontEnd() {
    return CreateWin32FrontEnd();
}
