#include "framework/frontend.h"

#include <cstdio>
#include <cstdlib>

namespace {
CFrontEnd* g_frontEnd = nullptr;
}

CFrontEnd& AfxFrontEnd() {
    if (g_frontEnd == nullptr) {
        // A program that shows a dialog without a window system has nowhere to show it.
        std::fputs("no front end was set up\n", stderr);
        std::abort();
    }
    return *g_frontEnd;
}

void AfxSetFrontEnd(CFrontEnd* frontEnd) {
    g_frontEnd = frontEnd;
}
