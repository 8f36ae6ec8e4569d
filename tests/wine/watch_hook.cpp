// The probe's eyes inside a watched program: a window-procedure hook that the probe installs
// on the program's user-interface thread (Windows, and Wine, load this library into the
// program for it). After each text change of a child window and each PBM_SETPOS it hands the
// new text or position to the probe's message-only window with WM_COPYDATA, synchronously,
// before the program goes on: no change is missed, however quickly the next one follows.
// Quirks: the text is read back from the control once it has taken it, so the hook never
// cares whether the program set it through the ANSI or the wide entry point; when no probe
// window exists (the probe has gone) the hook passes everything on unseen.
#include <cstdio>

#include "platform/win32api.h"

namespace {

constexpr char kWatcherClass[] = "KestrinProbeWatch";
// What a WM_COPYDATA to the probe carries in dwData.
constexpr ULONG_PTR kTextChanged = 1;
constexpr ULONG_PTR kPositionSet = 2;

void Tell(HWND control, ULONG_PTR what, const char* data, int size) {
    HWND watcher = FindWindowExA(HWND_MESSAGE, nullptr, kWatcherClass, nullptr);
    if (watcher == nullptr) return;
    COPYDATASTRUCT copy{what, static_cast<DWORD>(size), const_cast<char*>(data)};
    DWORD_PTR result = 0;
    SendMessageTimeoutA(watcher, WM_COPYDATA, reinterpret_cast<WPARAM>(control),
                        reinterpret_cast<LPARAM>(&copy), SMTO_BLOCK | SMTO_ABORTIFHUNG, 5000,
                        &result);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK
    KestrinWatchProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const auto* message = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        const bool child = (GetWindowLongA(message->hwnd, GWL_STYLE) & WS_CHILD) != 0;
        if (message->message == WM_SETTEXT && child) {
            char text[1024] = {};
            int length = GetWindowTextA(message->hwnd, text, sizeof text);
            Tell(message->hwnd, kTextChanged, text, length > 0 ? length : 0);
        } else if (message->message == PBM_SETPOS && child) {
            char position[32];
            int length = std::snprintf(position, sizeof position, "%u",
                                       static_cast<unsigned>(message->wParam));
            Tell(message->hwnd, kPositionSet, position, length);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
