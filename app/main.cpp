// The program's entry point on both systems: the program's own options, the arguments to the
// platform, a front end, then the application object's run. The Windows program stays a
// GUI-subsystem one: MinGW's start-up calls main for it just as it would call WinMain.
#include <iostream>
#include <memory>
#include <optional>

#include "app/program_options.h"
#include "framework/frontend.h"
#include "framework/winapp.h"
#include "frontends/select_frontend.h"
#include "platform/command_line.h"

int main(int argc, char** argv) {
    IgnoreBrokenPipes();
    if (std::optional<int> answered =
            AnswerProgramOptions(argc, argv, KESTRIN_PROGRAM_UPDATE_KEY, std::cout, std::cerr)) {
        return *answered;
    }
    RecordProgramArguments(argc, argv);
    std::unique_ptr<CFrontEnd> frontEnd = SelectFrontEnd();
    if (frontEnd == nullptr) return 1;
    AfxSetFrontEnd(frontEnd.get());
    CWinApp* app = AfxGetApp();
    int status = app != nullptr ? app->Run() : 1;
    AfxSetFrontEnd(nullptr);
    return status;
}
