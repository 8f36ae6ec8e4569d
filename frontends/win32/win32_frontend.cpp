// The Win32 front end.
//
// Supports: dialogs from the executable's own resource templates (CreateDialogIndirectParamA),
// their control texts and enabled flags kept by the framework's window model and set on the
// real controls (the real window keeps the rest of its state: where it is, whether it is shown,
// active or minimised, its system menu and icons), a modal
// loop of our own (IsDialogMessageA, so Enter presses the default button and Escape cancels),
// the system menu (GetSystemMenu/AppendMenuA), WM_SETICON, the minimised window's icon, message
// boxes (MessageBoxA), icon resources, and the work area of the window's monitor. Templates and
// strings are looked up in the framework's tables, which the resource script is generated from.
//
// Quirks:
// - Only the messages the framework maps are delivered to it (WM_INITDIALOG, WM_COMMAND,
//   WM_SYSCOMMAND, WM_PAINT, WM_QUERYDRAGICON, WM_CLOSE); everything else, and whatever the
//   framework leaves unhandled, gets the dialog manager's default treatment.
// - Handlers run synchronously. Each text, enable and progress change is painted at once
//   (UpdateWindow), and keyboard and mouse input queued while a command handler ran is removed
//   when it returns, so that a click on the disabled Update button cannot start a second run.
//   A run (CDialog::IsRunning) pumps the queue as it goes (Pump), so the window answers and a
//   Cancel clicked mid-run stops it.
// - An exception that leaves the framework is carried across the system's frames (which
//   cannot be unwound) and raised again once the system call that delivered it has returned.
// - A dialog is created from a copy of its template without WS_VISIBLE, and the modal loop
//   shows it: the system would show it as soon as WM_INITDIALOG returned, so a dialog ended
//   during its initialisation (the command-line modes) would appear for an instant.
#include "frontends/win32/win32_frontend.h"

#include <cstring>
#include <exception>
#include <vector>

#include "framework/dialog.h"
#include "framework/model_frontend.h"
#include "framework/window_model.h"

namespace {

HINSTANCE ProgramInstance() {
    return GetModuleHandleA(nullptr);
}

// An exception thrown inside a dialog procedure, waiting for the system call to return.
std::exception_ptr g_pendingException;

void RaisePending() {
    if (g_pendingException) {
        std::exception_ptr pending = g_pendingException;
        g_pendingException = nullptr;
        std::rethrow_exception(pending);
    }
}

// The dialog template of the program's resources with WS_VISIBLE cleared, in DWORD-aligned
// memory as the system wants it; empty when there is no such template.
std::vector<DWORD> HiddenTemplate(int templateId) {
    HRSRC resource = FindResourceA(ProgramInstance(), MAKEINTRESOURCEA(templateId),
                                   MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    HGLOBAL loaded = resource != nullptr ? LoadResource(ProgramInstance(), resource) : nullptr;
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    const DWORD size = resource != nullptr ? SizeofResource(ProgramInstance(), resource) : 0;
    // A dialog template is a few hundred bytes; anything near the size limits is no template.
    if (data == nullptr || size < 16 || size > 0x10000) return {};
    std::vector<DWORD> copy((size + 3) / 4);
    auto* bytes = reinterpret_cast<unsigned char*>(copy.data());
    std::memcpy(bytes, data, size);
    // An extended template opens with version 1 and signature 0xFFFF, and its style follows
    // the help id and the extended style; a classic one opens with its style.
    WORD version = 0;
    WORD signature = 0;
    std::memcpy(&version, bytes, sizeof version);
    std::memcpy(&signature, bytes + 2, sizeof signature);
    const size_t styleOffset = version == 1 && signature == 0xFFFF ? 12 : 0;
    DWORD style = 0;
    std::memcpy(&style, bytes + styleOffset, sizeof style);
    style &= ~static_cast<DWORD>(WS_VISIBLE);
    std::memcpy(bytes + styleOffset, &style, sizeof style);
    return copy;
}

void DiscardQueuedInput() {
    static constexpr UINT kRanges[][2] = {
        {WM_KEYFIRST, WM_KEYLAST},
        {WM_MOUSEFIRST, WM_MOUSELAST},
        {WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK},
    };
    MSG msg;
    for (const auto& range : kRanges) {
        while (PeekMessageA(&msg, nullptr, range[0], range[1], PM_REMOVE)) {
        }
    }
}

// BeginPaint/EndPaint as a scope.
class PaintScope {
  public:
    explicit PaintScope(HWND hwnd) : m_hWnd(hwnd), m_hDC(BeginPaint(hwnd, &m_ps)) {}
    ~PaintScope() { EndPaint(m_hWnd, &m_ps); }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;
    HDC dc() const { return m_hDC; }

  private:
    HWND m_hWnd;
    PAINTSTRUCT m_ps{};
    HDC m_hDC;
};

class Win32DialogWindow final : public CModelWindow {
  public:
    Win32DialogWindow(CDialog& dialog, const DialogTemplate& tmpl) : CModelWindow(dialog, tmpl) {}
    ~Win32DialogWindow() override {
        if (m_hWnd != nullptr) {
            // Nothing reaches the framework while the window goes away.
            SetWindowLongPtrA(m_hWnd, DWLP_USER, 0);
            DestroyWindow(m_hWnd);
        }
    }
    Win32DialogWindow(const Win32DialogWindow&) = delete;
    Win32DialogWindow& operator=(const Win32DialogWindow&) = delete;

    HWND hwnd() const { return m_hWnd; }

    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            auto* self = reinterpret_cast<Win32DialogWindow*>(lParam);
            self->m_hWnd = hwnd;
            SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
            self->Dialog().Attach(self);
        }
        auto* self = reinterpret_cast<Win32DialogWindow*>(GetWindowLongPtrA(hwnd, DWLP_USER));
        if (self == nullptr) return FALSE;
        try {
            return self->FromSystem(message, wParam, lParam);
        } catch (...) {
            g_pendingException = std::current_exception();
            return TRUE;
        }
    }

    // IDialogWindow: the real window's state.
    LRESULT SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) override {
        LRESULT result = SendDlgItemMessageA(m_hWnd, id, message, wParam, lParam);
        PaintNow(id);
        return result;
    }

    bool IsVisible() const override { return IsWindowVisible(m_hWnd) != FALSE; }
    void Show(bool show) override {
        if (show) {
            ShowWindow(m_hWnd, SW_SHOWNORMAL);
        } else {
            // Hidden without activating another window: the modal run decides who is active.
            SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                         SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOZORDER);
        }
    }
    bool IsEnabled() const override { return IsWindowEnabled(m_hWnd) != FALSE; }
    void Enable(bool enable) override { EnableWindow(m_hWnd, enable ? TRUE : FALSE); }
    bool IsActive() const override { return GetActiveWindow() == m_hWnd; }
    void Activate() override { SetActiveWindow(m_hWnd); }
    bool IsIconic() const override { return ::IsIconic(m_hWnd) != FALSE; }
    bool IsChild() const override { return (GetWindowLongA(m_hWnd, GWL_STYLE) & WS_CHILD) != 0; }
    RECT GetWindowRect() const override {
        RECT rect{};
        ::GetWindowRect(m_hWnd, &rect);
        return rect;
    }
    RECT GetClientRect() const override {
        RECT rect{};
        ::GetClientRect(m_hWnd, &rect);
        return rect;
    }
    void MoveTo(int left, int top) override {
        SetWindowPos(m_hWnd, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    bool AppendSystemMenu(UINT flags, UINT commandId, const char* text) override {
        HMENU menu = GetSystemMenu(m_hWnd, FALSE);
        if (menu == nullptr) return false;
        return AppendMenuA(menu, flags, commandId, text) != FALSE;
    }
    void SetIcon(int which, HICON icon) override {
        SendMessageA(m_hWnd, WM_SETICON, static_cast<WPARAM>(which),
                     reinterpret_cast<LPARAM>(icon));
    }
    void PaintIconic(HICON icon, int x, int y) override {
        PaintScope paint(m_hWnd);
        SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(paint.dc()), 0);
        DrawIcon(paint.dc(), x, y, icon);
    }
    LRESULT DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        // The dialog manager asks the dialog procedure first; that one call is answered "not
        // handled" so that the manager's own treatment follows.
        PassOn outer = m_passOn;
        m_passOn = PassOn{message, true};
        LRESULT result = DefDlgProcA(m_hWnd, message, wParam, lParam);
        m_passOn = outer;
        return result;
    }

  protected:
    // A control's text or enabled flag, as the model now has it, to the real control.
    void Changed(Change what, int id, bool) override {
        HWND item = GetDlgItem(m_hWnd, id);
        if (what == Change::Text) {
            SetDlgItemTextA(m_hWnd, id, GetItemText(id).c_str());
        } else if (what == Change::ItemEnabled) {
            bool enable = IsItemEnabled(id);
            // Disabling the control that has the keyboard leaves the keyboard with no window at
            // all, so that after a run neither Enter nor Escape would reach the dialog: the
            // control takes it back when it is enabled again, unless something else took it
            // meanwhile.
            if (!enable && item != nullptr && GetFocus() == item) m_nKeyboardLostBy = id;
            EnableWindow(item, enable ? TRUE : FALSE);
            if (enable && m_nKeyboardLostBy == id) {
                m_nKeyboardLostBy = 0;
                HWND focus = GetFocus();
                if (item != nullptr && (focus == nullptr || focus == m_hWnd)) {
                    SendMessageA(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item), TRUE);
                }
            }
        } else {
            return;
        }
        PaintNow(id);
    }

  private:
    struct PassOn {
        UINT message = 0;
        bool pending = false;
    };

    // A message from the system's dialog manager.
    INT_PTR FromSystem(UINT message, WPARAM wParam, LPARAM lParam) {
        if (m_passOn.pending && m_passOn.message == message) {
            m_passOn.pending = false;
            return FALSE;
        }
        switch (message) {
            case WM_INITDIALOG:
            case WM_COMMAND:
            case WM_SYSCOMMAND:
            case WM_PAINT:
            case WM_QUERYDRAGICON:
            case WM_CLOSE:
                break;
            default:
                return FALSE;
        }
        bool handled = false;
        LRESULT result = Dialog().WindowProc(message, wParam, lParam, &handled);
        if (message == WM_COMMAND || message == WM_SYSCOMMAND) DiscardQueuedInput();
        if (!handled) return FALSE;
        switch (message) {
            // These answer through the procedure's own result.
            case WM_INITDIALOG:
            case WM_QUERYDRAGICON:
                return static_cast<INT_PTR>(result);
            default:
                SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
                return TRUE;
        }
    }

    void PaintNow(int id) {
        if (HWND item = GetDlgItem(m_hWnd, id)) UpdateWindow(item);
    }

    HWND m_hWnd = nullptr;
    int m_nKeyboardLostBy = 0;  // the control whose disabling took the keyboard away
    PassOn m_passOn;
};

class Win32FrontEnd final : public CModelFrontEnd {
  public:
    Win32FrontEnd() {
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
    }

    std::unique_ptr<IDialogWindow> CreateDialogWindow(CDialog& dialog, int templateId,
                                                      IDialogWindow* owner) override {
        const DialogTemplate* tmpl = FindDialogTemplate(templateId);
        if (tmpl == nullptr) return nullptr;
        auto window = std::make_unique<Win32DialogWindow>(dialog, *tmpl);
        const std::vector<DWORD> hidden = HiddenTemplate(templateId);
        HWND hwnd = hidden.empty()
                        ? nullptr
                        : CreateDialogIndirectParamA(
                              ProgramInstance(), reinterpret_cast<LPCDLGTEMPLATEA>(hidden.data()),
                              Win32WindowHandle(owner), &Win32DialogWindow::DialogProc,
                              reinterpret_cast<LPARAM>(window.get()));
        if (hwnd == nullptr) {
            if (window->hwnd() != nullptr) dialog.Attach(nullptr);
            RaisePending();
            return nullptr;
        }
        RaisePending();
        return window;
    }

    void RunModalLoop(CDialog& dialog, IDialogWindow& window) override {
        HWND hwnd = Win32WindowHandle(&window);
        if (!IsWindowVisible(hwnd)) ShowWindow(hwnd, SW_SHOWNORMAL);
        MSG msg;
        while (!dialog.IsEnded()) {
            if (!IsWindow(hwnd)) {
                dialog.EndDialog(IDCANCEL);
                break;
            }
            BOOL got = GetMessageA(&msg, nullptr, 0, 0);
            if (got == 0 || got == -1) {
                // WM_QUIT belongs to whoever runs the outer loop: leave it for them.
                if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
                dialog.EndDialog(IDCANCEL);
                break;
            }
            if (!IsDialogMessageA(hwnd, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            RaisePending();
        }
    }

    // During a run: the messages that came are dispatched without waiting, as the modal loop
    // would (paint, what the system sends, such as the WM_NULL it checks a window's life with,
    // the close box, Escape, the Cancel button); the dialog takes only what ends it.
    void Pump(IDialogWindow& window) override {
        HWND hwnd = Win32WindowHandle(&window);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                break;
            }
            if (hwnd == nullptr || !IsDialogMessageA(hwnd, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            RaisePending();
        }
    }

    int MessageBox(IDialogWindow* owner, const CString& text, const CString& caption,
                   UINT style) override {
        int result = ::MessageBoxA(Win32WindowHandle(owner), text.c_str(), caption.c_str(), style);
        RaisePending();
        return result;
    }

    HICON LoadIcon(int iconId) override {
        return ::LoadIconA(ProgramInstance(), MAKEINTRESOURCEA(iconId));
    }

    int GetSystemMetrics(int index) override { return ::GetSystemMetrics(index); }

    RECT GetWorkArea(const IDialogWindow* window) override {
        HWND hwnd = Win32WindowHandle(window);
        HMONITOR monitor = hwnd != nullptr
                               ? MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST)
                               : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
        MONITORINFO info{};
        info.cbSize = sizeof info;
        if (monitor != nullptr && GetMonitorInfoA(monitor, &info)) return info.rcWork;
        RECT area{};
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
        return area;
    }
};

}  // namespace

std::unique_ptr<CFrontEnd> CreateWin32FrontEnd() {
    return std::make_unique<Win32FrontEnd>();
}

HWND Win32WindowHandle(const IDialogWindow* window) {
    auto* win32 = dynamic_cast<const Win32DialogWindow*>(window);
    return win32 != nullptr ? win32->hwnd() : nullptr;
}
