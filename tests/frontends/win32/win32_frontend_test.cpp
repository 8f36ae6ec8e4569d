// The Win32 front end with real windows under Wine: layout from the executable's templates,
// painting during a long handler, input given during a handler, the modal loop with its
// keys, default processing, nested modal runs and message boxes.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "framework/dialog.h"
#include "frontends/win32/win32_frontend.h"
#include "platform/win32api.h"
#include "ui/update_dialog.h"

namespace {

constexpr int kUpdateDialog = 102;
constexpr int kAboutBox = 100;
constexpr int kUpdateButton = 1002;
constexpr int kProgress = 1000;
constexpr int kStatus = 1001;
constexpr int kEndedByTest = 42;

// Work to do from inside the running modal loop, after a delay (thread timers are dispatched
// by every message loop, message boxes' included).
std::map<UINT_PTR, std::function<void()>> g_later;

void CALLBACK RunTimer(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    auto it = g_later.find(id);
    if (it == g_later.end()) return;
    std::function<void()> work = std::move(it->second);
    g_later.erase(it);
    work();
}

void RunLater(UINT ms, std::function<void()> work) {
    UINT_PTR id = SetTimer(nullptr, 0, ms, &RunTimer);
    ASSERT_NE(id, 0u);
    g_later[id] = std::move(work);
}

class TestDialog : public CDialog {
  public:
    explicit TestDialog(int templateId, CDialog* parent = nullptr) : CDialog(templateId, parent) {}

    std::function<void()> onInit;
    std::function<void()> onUpdate;
    std::function<void(UINT)> onSysCommand;
    int runs = 0;

    HWND hwnd() const { return Win32WindowHandle(GetWindow()); }
    HWND item(int id) const { return GetDlgItem(hwnd(), id); }
    using CDialog::Default;

    void OnUpdate() {
        ++runs;
        if (onUpdate) onUpdate();
    }
    void OnSysCommand(UINT command, LPARAM) {
        if (onSysCommand) {
            onSysCommand(command);
        } else {
            Default();
        }
    }

  protected:
    const MessageMap* GetMessageMap() const override {
        static const MessageMapEntry entries[] = {
            OnSysCommandEntry<TestDialog, &TestDialog::OnSysCommand>(),
            OnCommandEntry<TestDialog, &TestDialog::OnUpdate>(BN_CLICKED, kUpdateButton),
        };
        static const MessageMap map{CDialog::GetMessageMap(), entries,
                                    static_cast<int>(std::size(entries))};
        return &map;
    }
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        if (onInit) onInit();
        return TRUE;
    }
};

class Win32FrontEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        frontEnd_ = CreateWin32FrontEnd();
        AfxSetFrontEnd(frontEnd_.get());
    }
    void TearDown() override {
        AfxSetFrontEnd(nullptr);
        for (auto& [id, work] : g_later) KillTimer(nullptr, id);
        g_later.clear();
    }
    std::unique_ptr<CFrontEnd> frontEnd_;
};

POINT CentreOf(HWND hwnd) {
    RECT r{};
    GetWindowRect(hwnd, &r);
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

void ClickAt(POINT at) {
    SetCursorPos(at.x, at.y);
    INPUT inputs[2] = {};
    inputs[0].type = inputs[1].type = INPUT_MOUSE;
    inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, inputs, sizeof(INPUT));
}

RECT ScreenRect(HWND hwnd) {
    RECT r{};
    GetWindowRect(hwnd, &r);
    return r;
}

// Where the framework puts a window of this size centred on another rectangle.
POINT CentredOn(const RECT& on, const RECT& window) {
    LONG width = window.right - window.left;
    LONG height = window.bottom - window.top;
    return POINT{(on.left + on.right) / 2 - width / 2, (on.top + on.bottom) / 2 - height / 2};
}

TEST_F(Win32FrontEndTest, UpdateDialogHasTheWindowsLayoutAndOpensCentred) {
    TestDialog dialog(kUpdateDialog);
    std::unique_ptr<IDialogWindow> window =
        frontEnd_->CreateDialogWindow(dialog, kUpdateDialog, nullptr);
    ASSERT_NE(window, nullptr);
    HWND hwnd = dialog.hwnd();
    ASSERT_NE(hwnd, nullptr);
    // Shown by the modal loop, not by its creation: a dialog ended during its initialisation
    // never appears.
    EXPECT_FALSE(IsWindowVisible(hwnd));
    window->Show(true);
    EXPECT_TRUE(IsWindowVisible(hwnd));

    // 320 × 54 dialog units of 8-point "MS Sans Serif", base units 6 × 13.
    RECT client = window->GetClientRect();
    EXPECT_EQ(client.right, 480);
    EXPECT_EQ(client.bottom, 88);
    RECT update{};
    GetWindowRect(dialog.item(kUpdateButton), &update);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&update), 2);
    EXPECT_EQ(update.left, 390);
    EXPECT_EQ(update.right - update.left, 75);

    char className[64] = {};
    GetClassNameA(dialog.item(kProgress), className, sizeof className);
    EXPECT_STRCASEEQ(className, "msctls_progress32");

    RECT rect = ScreenRect(hwnd);
    POINT expected = CentredOn(frontEnd_->GetWorkArea(window.get()), rect);
    EXPECT_EQ(rect.left, expected.x);
    EXPECT_EQ(rect.top, expected.y);
    dialog.Attach(nullptr);
}

TEST_F(Win32FrontEndTest, ChangesArePaintedAtOnceWithoutTheLoopRunning) {
    TestDialog dialog(kUpdateDialog);
    std::unique_ptr<IDialogWindow> window =
        frontEnd_->CreateDialogWindow(dialog, kUpdateDialog, nullptr);
    ASSERT_NE(window, nullptr);
    window->Show(true);
    ASSERT_TRUE(IsWindowVisible(dialog.hwnd()));
    UpdateWindow(dialog.hwnd());

    // A control's change may leave it waiting for the loop to paint it (Windows' statics and
    // buttons do; Wine's common controls 6 paint themselves at once): made through the front end,
    // it is painted at once even when the control waits, as the invalidation here makes it.
    struct Change {
        const char* what;
        int id;
        std::function<void()> throughFrontEnd;
    };
    const Change changes[] = {
        {"text", kStatus, [&] { window->SetItemText(kStatus, "Connecting to Server"); }},
        {"progress", kProgress, [&] { window->SendItemMessage(kProgress, PBM_SETPOS, 33, 0); }},
        {"enable", kUpdateButton, [&] { window->EnableItem(kUpdateButton, false); }},
    };
    for (const Change& change : changes) {
        InvalidateRect(dialog.item(change.id), nullptr, TRUE);
        ASSERT_TRUE(GetUpdateRect(dialog.item(change.id), nullptr, FALSE)) << change.what;
        change.throughFrontEnd();
        EXPECT_FALSE(GetUpdateRect(dialog.item(change.id), nullptr, FALSE)) << change.what;
    }
    EXPECT_EQ(window->GetItemText(kStatus), "Connecting to Server");
    EXPECT_EQ(SendMessageA(dialog.item(kProgress), PBM_GETPOS, 0, 0), 33);
    EXPECT_FALSE(window->IsItemEnabled(kUpdateButton));
    dialog.Attach(nullptr);
}

TEST_F(Win32FrontEndTest, InputGivenDuringAHandlerIsDiscardedWhenItReturns) {
    TestDialog dialog(kUpdateDialog);
    bool inputWasQueued = false;
    dialog.onUpdate = [&] {
        dialog.EnableDlgItem(kUpdateButton, false);
        // While the "network" blocks: a click on the disabled Update button, one on Cancel.
        ClickAt(CentreOf(dialog.item(kUpdateButton)));
        ClickAt(CentreOf(dialog.item(IDCANCEL)));
        Sleep(200);
        inputWasQueued = (HIWORD(GetQueueStatus(QS_MOUSEBUTTON)) & QS_MOUSEBUTTON) != 0;
        dialog.EnableDlgItem(kUpdateButton, true);
        RunLater(500, [&] { dialog.EndDialog(kEndedByTest); });
    };
    dialog.onInit = [&] { RunLater(200, [&] { ClickAt(CentreOf(dialog.item(kUpdateButton))); }); };

    EXPECT_EQ(dialog.RunModal(), kEndedByTest);
    EXPECT_EQ(dialog.runs, 1);
    EXPECT_TRUE(inputWasQueued);
}

TEST_F(Win32FrontEndTest, KeysAndWindowCommandsReachTheFramework) {
    struct Case {
        const char* what;
        UINT message;
        WPARAM wParam;
        int result;
        int runs;
    };
    const Case cases[] = {
        {"Enter presses the default button", WM_KEYDOWN, VK_RETURN, kEndedByTest, 1},
        {"Escape cancels", WM_KEYDOWN, VK_ESCAPE, IDCANCEL, 0},
        {"the close box cancels through the default treatment", WM_SYSCOMMAND, SC_CLOSE, IDCANCEL,
         0},
    };
    for (const Case& c : cases) {
        TestDialog dialog(kUpdateDialog);
        dialog.onUpdate = [&] { RunLater(100, [&] { dialog.EndDialog(kEndedByTest); }); };
        dialog.onInit = [&] {
            RunLater(100, [&] { PostMessageA(dialog.hwnd(), c.message, c.wParam, 0); });
        };
        EXPECT_EQ(dialog.RunModal(), c.result) << c.what;
        EXPECT_EQ(dialog.runs, c.runs) << c.what;
    }
}

TEST_F(Win32FrontEndTest, NestedDialogOpensCentredOverItsDisabledOwner) {
    TestDialog dialog(kUpdateDialog);
    RECT ownerRect{}, aboutRect{};
    bool ownerEnabledDuring = true;
    int aboutResult = 0;
    dialog.onSysCommand = [&](UINT command) {
        if ((command & 0xFFF0) != 0x0010) {
            dialog.Default();
            return;
        }
        TestDialog about(kAboutBox, &dialog);
        about.onInit = [&] {
            RunLater(100, [&] {
                ownerRect = ScreenRect(dialog.hwnd());
                aboutRect = ScreenRect(about.hwnd());
                ownerEnabledDuring = IsWindowEnabled(dialog.hwnd()) != FALSE;
                PostMessageA(about.hwnd(), WM_KEYDOWN, VK_RETURN, 0);
            });
        };
        aboutResult = about.RunModal();
        RunLater(100, [&] { dialog.EndDialog(kEndedByTest); });
    };
    dialog.onInit = [&] {
        RunLater(100, [&] { PostMessageA(dialog.hwnd(), WM_SYSCOMMAND, 0x0010, 0); });
    };
    EXPECT_EQ(dialog.RunModal(), kEndedByTest);

    EXPECT_EQ(aboutResult, IDOK);
    EXPECT_FALSE(ownerEnabledDuring);
    POINT expected = CentredOn(ownerRect, aboutRect);
    EXPECT_EQ(aboutRect.left, expected.x);
    EXPECT_EQ(aboutRect.top, expected.y);
}

TEST_F(Win32FrontEndTest, MessageBoxIsAnInformationBoxWithTheGivenCaption) {
    std::string seenText;
    bool seenIcon = false;
    RunLater(300, [&] {
        HWND box = FindWindowA("#32770", "Kestrin test box");
        ASSERT_NE(box, nullptr);
        for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            LONG style = GetWindowLongA(child, GWL_STYLE);
            char text[256] = {};
            GetWindowTextA(child, text, sizeof text);
            if ((style & SS_TYPEMASK) == SS_ICON) {
                seenIcon = SendMessageA(child, STM_GETICON, 0, 0) ==
                           reinterpret_cast<LRESULT>(LoadIconA(nullptr, IDI_INFORMATION));
            } else if (std::string(text).find("line") != std::string::npos) {
                seenText = text;
            }
        }
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    });
    EXPECT_EQ(frontEnd_->MessageBox(nullptr, "first line\nsecond line", "Kestrin test box",
                                    MB_ICONINFORMATION),
              IDOK);
    EXPECT_EQ(seenText, "first line\nsecond line");
    EXPECT_TRUE(seenIcon);
}

TEST_F(Win32FrontEndTest, ExceptionLeavingAHandlerReachesTheModalRunsCaller) {
    TestDialog dialog(kUpdateDialog);
    dialog.onUpdate = [] { throw 7; };
    dialog.onInit = [&] {
        RunLater(100, [&] {
            PostMessageA(dialog.hwnd(), WM_COMMAND, MAKEWPARAM(kUpdateButton, BN_CLICKED), 0);
        });
    };
    EXPECT_THROW(dialog.RunModal(), int);
}

TEST_F(Win32FrontEndTest, UpdateDialogGetsItsMenuEntryAndIconsOnARealWindow) {
    CUpdateDialog dialog;
    std::string lastItem;
    UINT lastCommand = 0;
    bool separatorBefore = false;
    LRESULT bigIcon = 0, smallIcon = 0;
    RunLater(200, [&] {
        HWND hwnd = Win32WindowHandle(dialog.GetWindow());
        HMENU menu = GetSystemMenu(hwnd, FALSE);
        int count = GetMenuItemCount(menu);
        char text[128] = {};
        GetMenuStringA(menu, static_cast<UINT>(count - 1), text, sizeof text, MF_BYPOSITION);
        lastItem = text;
        lastCommand = GetMenuItemID(menu, count - 1);
        MENUITEMINFOA info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE;
        GetMenuItemInfoA(menu, static_cast<UINT>(count - 2), TRUE, &info);
        separatorBefore = (info.fType & MFT_SEPARATOR) != 0;
        bigIcon = SendMessageA(hwnd, WM_GETICON, ICON_BIG, 0);
        smallIcon = SendMessageA(hwnd, WM_GETICON, ICON_SMALL, 0);
        PostMessageA(hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
    });
    EXPECT_EQ(dialog.RunModal(), IDCANCEL);
    EXPECT_EQ(lastItem, "&About Kestrin...");
    EXPECT_EQ(lastCommand, 16u);
    EXPECT_TRUE(separatorBefore);
    ASSERT_NE(dialog.m_hIcon, nullptr);
    EXPECT_EQ(bigIcon, reinterpret_cast<LRESULT>(dialog.m_hIcon));
    EXPECT_EQ(smallIcon, reinterpret_cast<LRESULT>(dialog.m_hIcon));
}

TEST_F(Win32FrontEndTest, IconicPaintDrawsTheIconWithItsCornerAtTheGivenPoint) {
    TestDialog dialog(kUpdateDialog);
    std::unique_ptr<IDialogWindow> window =
        frontEnd_->CreateDialogWindow(dialog, kUpdateDialog, nullptr);
    ASSERT_NE(window, nullptr);
    window->Show(true);
    UpdateWindow(dialog.hwnd());
    // The 32 × 32 art is white at (15, 10); the point lies on the dialog's face, above the
    // progress bar.
    constexpr int kX = 100, kY = 0;
    auto pixel = [&](int x, int y) {
        HDC dc = GetDC(dialog.hwnd());
        COLORREF colour = GetPixel(dc, x, y);
        ReleaseDC(dialog.hwnd(), dc);
        return colour;
    };
    const COLORREF face = pixel(kX + 15, kY + 10);
    ASSERT_NE(face, RGB(255, 255, 255));

    InvalidateRect(dialog.hwnd(), nullptr, TRUE);
    window->PaintIconic(frontEnd_->LoadIcon(128), kX, kY);
    EXPECT_EQ(pixel(kX + 15, kY + 10), RGB(255, 255, 255));
    EXPECT_EQ(pixel(kX - 1, kY + 10), face);
    EXPECT_FALSE(GetUpdateRect(dialog.hwnd(), nullptr, FALSE));
    dialog.Attach(nullptr);
}

TEST_F(Win32FrontEndTest, ResourcesComeFromTheExecutable) {
    EXPECT_TRUE(frontEnd_->HasTemplate(kUpdateDialog));
    EXPECT_TRUE(frontEnd_->HasTemplate(kAboutBox));
    EXPECT_FALSE(frontEnd_->HasTemplate(4242));
    EXPECT_EQ(frontEnd_->LoadString(101), "&About Kestrin...");
    EXPECT_EQ(frontEnd_->LoadString(4242), "");
    EXPECT_NE(frontEnd_->LoadIcon(128), nullptr);
    // Strings are looked up in the framework's tables; the executable's own say the same.
    char fromExecutable[64] = {};
    LoadStringA(GetModuleHandleA(nullptr), 101, fromExecutable, sizeof fromExecutable);
    EXPECT_EQ(frontEnd_->LoadString(101), fromExecutable);
}

}  // namespace
