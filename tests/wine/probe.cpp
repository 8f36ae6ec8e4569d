// A look into a running program's windows from the outside, for the end-to-end test under Wine:
//   probe count CAPTION              visible top-level windows with that caption
//   probe describe CAPTION           its geometry, the work area, and its controls in order
//                                    (rectangles in client coordinates)
//   probe syscommand CAPTION CMD     posts WM_SYSCOMMAND CMD to it (menu entries by command)
//   probe menu CAPTION               its system menu: one line per item, command and text
//   probe command CAPTION ID         posts WM_COMMAND (BN_CLICKED) from control ID to it
//   probe ping CAPTION COUNT         sends it WM_NULL COUNT times, 50 ms apart, as the system
//                                    does before it calls a window not responding, and prints
//                                    "longest N": the longest wait for an answer in ms (exit
//                                    code 1 when one took 5 s)
//   probe watch CAPTION SECONDS      hooks its thread (kestrin_watch.dll, beside the probe),
//                                    prints "ready", then one line per text change of a
//                                    control ("text ID TEXT") and per progress position set
//                                    ("position ID N") as they happen, and "end" once the
//                                    window is gone; after SECONDS it gives up with exit code 1
// Lines are "key value..."; text is printed between quotes, with line breaks, quotes and
// backslashes escaped as in C.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
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
    // Where the client area (and so the controls' rectangles) begins on the screen.
    POINT origin{0, 0};
    ClientToScreen(hwnd, &origin);
    std::printf("origin %ld %ld\n", static_cast<long>(origin.x), static_cast<long>(origin.y));
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

struct LibraryFree {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using Library = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFree>;
struct Unhook {
    void operator()(HHOOK hook) const { UnhookWindowsHookEx(hook); }
};
using Hook = std::unique_ptr<std::remove_pointer_t<HHOOK>, Unhook>;

// Where the hook library reports to (it finds this window by its class).
constexpr char kWatcherClass[] = "KestrinProbeWatch";

LRESULT CALLBACK WatcherProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_COPYDATA) return DefWindowProcA(hwnd, message, wParam, lParam);
    const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    const std::string data(static_cast<const char*>(copy->lpData), copy->cbData);
    const int id = GetDlgCtrlID(reinterpret_cast<HWND>(wParam));
    if (copy->dwData == 1) {
        std::printf("text %d %s\n", id, Quoted(data).c_str());
    } else {
        std::printf("position %d %s\n", id, data.c_str());
    }
    // The test reads the output while the program runs.
    std::fflush(stdout);
    return TRUE;
}

int Watch(HWND target, DWORD seconds) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &WatcherProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWatcherClass;
    if (RegisterClassA(&windowClass) == 0 ||
        CreateWindowExA(0, kWatcherClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                        windowClass.hInstance, nullptr) == nullptr) {
        std::fputs("probe: no watcher window\n", stderr);
        return 2;
    }
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string library(path, length);
    library = library.substr(0, library.find_last_of('\\') + 1) + "kestrin_watch.dll";
    const Library module(LoadLibraryA(library.c_str()));
    auto proc = module ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(
                             GetProcAddress(module.get(), "KestrinWatchProc")))
                       : nullptr;
    const Hook hook(proc != nullptr ? SetWindowsHookExA(WH_CALLWNDPROCRET, proc, module.get(),
                                                        GetWindowThreadProcessId(target, nullptr))
                                    : nullptr);
    if (!hook) {
        std::fprintf(stderr, "probe: cannot hook with %s (error %lu)\n", library.c_str(),
                     static_cast<unsigned long>(GetLastError()));
        return 2;
    }
    std::puts("ready");
    std::fflush(stdout);

    // The reports arrive as sent messages, handled while this thread waits for messages.
    const ULONGLONG deadline = GetTickCount64() + seconds * 1000ULL;
    SetTimer(nullptr, 0, 50, nullptr);
    int result = 1;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!IsWindow(target)) {
            std::puts("end");
            result = 0;
            break;
        }
        if (GetTickCount64() > deadline) {
            std::puts("timeout");
            break;
        }
        DispatchMessageA(&msg);
    }
    std::fflush(stdout);
    return result;
}

// The longest that window took to answer WM_NULL over count sends; -1 when one went unanswered.
int Ping(HWND window, unsigned long count) {
    ULONGLONG longest = 0;
    for (unsigned long i = 0; i < count; ++i) {
        DWORD_PTR result = 0;
        const ULONGLONG start = GetTickCount64();
        if (SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result) == 0) {
            std::puts("longest -1");
            return 1;
        }
        longest = std::max(longest, GetTickCount64() - start);
        Sleep(50);
    }
    std::printf("longest %llu\n", longest);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: probe count|describe|syscommand|menu|command|ping|watch CAPTION [ARG]\n",
                   stderr);
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
    if (std::strcmp(action, "command") == 0 && argc == 4) {
        const WPARAM id = std::strtoul(argv[3], nullptr, 0);
        return PostMessageA(FindOne(caption), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0) ? 0 : 1;
    }
    if (std::strcmp(action, "ping") == 0 && argc == 4) {
        return Ping(FindOne(caption), std::strtoul(argv[3], nullptr, 10));
    }
    if (std::strcmp(action, "watch") == 0 && argc == 4) {
        return Watch(FindOne(caption), std::strtoul(argv[3], nullptr, 10));
    }
    std::fprintf(stderr, "probe: unknown action %s\n", action);
    return 2;
}
