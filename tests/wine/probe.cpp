// A look into a running program's windows from the outside, for the end-to-end test under Wine:
//   probe count CAPTION              visible top-level windows with that caption
//   probe describe CAPTION           its geometry, the work area, and its controls in order
//   probe syscommand CAPTION CMD     posts WM_SYSCOMMAND CMD to it (menu entries by command)
//   probe menu CAPTION               its system menu: one line per item, command and text
// Lines are "key value..."; text is printed between quotes, with line breaks, quotes and
// backslashes escaped as in C.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32api.h"

namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

std::string WindowText(HWND hwnd) {
    std::vector<char> buffer(static_cast<size_t>(GetWindowTextLengthA(hwnd)) + 1);
    int length = GetWindowTextA(hwnd, buffer.data(), static_cast<int>(buffer.size()));
    return std::string(buffer.data(), static_cast<size_t>(length > 0 ? length : 0));
}

struct Search {
    const char* caption;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    if (IsWindowVisible(hwnd) && WindowText(hwnd) == search->caption) {
        search->found.push_back(hwnd);
    }
    return TRUE;
}

std::vector<HWND> FindVisible(const char* caption) {
    Search search{caption, {}};
    EnumWindows(&CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindOne(const char* caption) {
    std::vector<HWND> found = FindVisible(caption);
    if (found.size() != 1) {
        std::fprintf(stderr, "probe: %u windows captioned \"%s\"\n",
                     static_cast<unsigned>(found.size()), caption);
        std::exit(1);
    }
    return found.front();
}

void PrintRect(const char* key, const RECT& r) {
    std::printf("%s %ld %ld %ld %ld\n", key, static_cast<long>(r.left), static_cast<long>(r.top),
                static_cast<long>(r.right), static_cast<long>(r.bottom));
}

int Describe(HWND hwnd) {
    RECT window{};
    GetWindowRect(hwnd, &window);
    PrintRect("window", window);
    RECT client{};
    GetClientRect(hwnd, &client);
    std::printf("client %ld %ld\n", static_cast<long>(client.right),
                static_cast<long>(client.bottom));
    MONITORINFO info{};
    info.cbSize = sizeof info;
    GetMonitorInfoA(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &info);
    PrintRect("workarea", info.rcWork);
    std::printf("enabled %d\n", IsWindowEnabled(hwnd) ? 1 : 0);
    // Keys typed on the display go to the foreground window.
    std::printf("foreground %d\n", GetForegroundWindow() == hwnd ? 1 : 0);
    std::printf("style 0x%08lX\n", static_cast<unsigned long>(GetWindowLongA(hwnd, GWL_STYLE)));
    std::printf("exstyle 0x%08lX\n", static_cast<unsigned long>(GetWindowLongA(hwnd, GWL_EXSTYLE)));
    std::printf("icons %d %d\n", SendMessageA(hwnd, WM_GETICON, ICON_BIG, 0) != 0 ? 1 : 0,
                SendMessageA(hwnd, WM_GETICON, ICON_SMALL, 0) != 0 ? 1 : 0);
    for (HWND child = GetWindow(hwnd, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        char className[256] = {};
        GetClassNameA(child, className, sizeof className);
        RECT r{};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&r), 2);
        std::printf("control %d %s %ld %ld %ld %ld 0x%08lX %d %s\n", GetDlgCtrlID(child), className,
                    static_cast<long>(r.left), static_cast<long>(r.top), static_cast<long>(r.right),
                    static_cast<long>(r.bottom),
                    static_cast<unsigned long>(GetWindowLongA(child, GWL_STYLE)),
                    IsWindowEnabled(child) ? 1 : 0, Quoted(WindowText(child)).c_str());
    }
    return 0;
}

int Menu(HWND hwnd) {
    HMENU menu = GetSystemMenu(hwnd, FALSE);
    if (menu == nullptr) return 1;
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        char text[256] = {};
        GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
        std::printf("item %u %s\n", GetMenuItemID(menu, i), Quoted(text).c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: probe count|describe|syscommand|menu CAPTION [COMMAND]\n", stderr);
        return 2;
    }
    const char* action = argv[1];
    const char* caption = argv[2];
    if (std::strcmp(action, "count") == 0) {
        std::printf("%u\n", static_cast<unsigned>(FindVisible(caption).size()));
        return 0;
    }
    if (std::strcmp(action, "describe") == 0) return Describe(FindOne(caption));
    if (std::strcmp(action, "menu") == 0) return Menu(FindOne(caption));
    if (std::strcmp(action, "syscommand") == 0 && argc == 4) {
        WPARAM command = std::strtoul(argv[3], nullptr, 0);
        return PostMessageA(FindOne(caption), WM_SYSCOMMAND, command, 0) ? 0 : 1;
    }
    std::fprintf(stderr, "probe: unknown action %s\n", action);
    return 2;
}
