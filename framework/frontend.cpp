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

// ---- pacing and placing ----

bool FramePacer::ShowNow() {
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastShown < kFrame) {
        m_bHeld = true;
        return false;
    }
    m_lastShown = now;
    m_bHeld = false;
    return true;
}

bool FramePacer::TakeHeld() {
    if (!m_bHeld) return false;
    m_bHeld = false;
    m_lastShown = std::chrono::steady_clock::now();
    return true;
}

POINT CentredPosition(const IDialogWindow* owner, const RECT& workArea, LONG width, LONG height) {
    RECT centreOn = workArea;
    if (owner != nullptr && owner->IsVisible() && !owner->IsIconic()) {
        centreOn = owner->GetWindowRect();
    }
    LONG left = (centreOn.left + centreOn.right) / 2 - width / 2;
    LONG top = (centreOn.top + centreOn.bottom) / 2 - height / 2;
    if (left + width > workArea.right) left = workArea.right - width;
    if (left < workArea.left) left = workArea.left;
    if (top + height > workArea.bottom) top = workArea.bottom - height;
    if (top < workArea.top) top = workArea.top;
    return POINT{left, top};
}
