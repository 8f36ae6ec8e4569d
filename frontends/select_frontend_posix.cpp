#include "frontends/select_frontend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontends/terminal/terminal_frontend.h"
#if KESTRIN_WITH_FLTK
#include "frontends/fltk/fltk_frontend.h"
#endif

std::unique_ptr<CFrontEnd> SelectFrontEnd() {
    const char* choice = std::getenv("KESTRIN_FRONTEND");
    bool wantTerminal = choice != nullptr && std::strcmp(choice, "terminal") == 0;
    bool wantWindow = choice != nullptr && std::strcmp(choice, "fltk") == 0;
    if (!wantTerminal) {
#if KESTRIN_WITH_FLTK
        if (std::unique_ptr<CFrontEnd> window = CreateFltkFrontEnd()) return window;
#endif
        if (wantWindow) {
            std::fputs("kestrin: no display could be opened for the window\n", stderr);
            return nullptr;
        }
    }
    return CreateTerminalFrontEnd();
}
