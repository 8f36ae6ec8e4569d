// The program's entry point on Windows: the Win32 front end, then the application object's run.
#include "framework/frontend.h"
#include "framework/winapp.h"
#include "frontends/win32/win32_frontend.h"
#include "platform/win32api.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    std::unique_ptr<CFrontEnd> frontEnd = CreateWin32FrontEnd();
    AfxSetFrontEnd(frontEnd.get());
    CWinApp* app = AfxGetApp();
    int status = app != nullptr ? app->Run() : 1;
    AfxSetFrontEnd(nullptr);
    return status;
}
