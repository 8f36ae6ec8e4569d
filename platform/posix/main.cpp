// The program's entry point on POSIX: the raw command line, a front end, then the
// application object's run.
#include "framework/frontend.h"
#include "framework/winapp.h"
#include "platform/win32api.h"
#include "frontends/select_frontend.h"

int main(int argc, char** argv) {
    PosixSetCommandLine(argc, argv);
    std::unique_ptr<CFrontEnd> frontEnd = SelectFrontEnd();
    if (frontEnd == nullptr) return 1;
    AfxSetFrontEnd(frontEnd.get());
    CWinApp* app = AfxGetApp();
    int status = app != nullptr ? app->Run() : 1;
    AfxSetFrontEnd(nullptr);
    return status;
}
