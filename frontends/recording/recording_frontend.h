// The recording front end: a window system without windows, for tests. It builds dialogs from
// the same templates, records every request as a line of text, answers message boxes, and
// runs a script of user actions in the modal loop.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "framework/dialog.h"
#include "framework/frontend.h"

class RecordingFrontEnd;

class RecordingWindow : public IDialogWindow {
  public:
    RecordingWindow(RecordingFrontEnd& frontEnd, CDialog& dialog, int templateId);
    ~RecordingWindow() override;

    void SetItemText(int id, const CString& text) override;
    CString GetItemText(int id) const override;
    void EnableItem(int id, bool enable) override;
    bool IsItemEnabled(int id) const override;
    LRESULT SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) override;
    bool IsVisible() const override { return m_bVisible; }
    void Show(bool show) override;
    bool IsEnabled() const override { return m_bEnabled; }
    void Enable(bool enable) override;
    bool IsActive() const override { return m_bVisible; }
    void Activate() override {}
    bool IsIconic() const override { return m_bIconic; }
    bool IsChild() const override { return false; }
    RECT GetWindowRect() const override { return m_rect; }
    RECT GetClientRect() const override { return m_client; }
    void MoveTo(int left, int top) override;
    bool AppendSystemMenu(UINT flags, UINT commandId, const char* text) override;
    void SetIcon(int which, HICON icon) override;
    void PaintIconic(HICON icon, int x, int y) override;
    LRESULT DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Delivers a message the way a window system would (default treatment included).
    LRESULT Deliver(UINT message, WPARAM wParam, LPARAM lParam);
    void Click(int controlId) { Deliver(WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED), 0); }

    CDialog& dialog() { return m_dialog; }
    int templateId() const { return m_nTemplateId; }
    int progress() const { return m_nProgress; }
    const std::vector<std::pair<UINT, std::string>>& systemMenu() const { return m_menu; }
    void SetIconic(bool iconic, RECT client) {
        m_bIconic = iconic;
        m_client = client;
    }

  private:
    RecordingFrontEnd& m_frontEnd;
    CDialog& m_dialog;
    int m_nTemplateId;
    std::map<int, CString> m_texts;
    std::map<int, bool> m_itemEnabled;
    std::vector<std::pair<UINT, std::string>> m_menu;
    int m_nProgress = 0;
    bool m_bVisible = false;
    bool m_bEnabled = true;
    bool m_bIconic = false;
    RECT m_rect{};
    RECT m_client{};
};

class RecordingFrontEnd : public CFrontEnd {
  public:
    RecordingFrontEnd();
    ~RecordingFrontEnd() override;

    // What happened, one line each: "create 102", "init 102", "loop 102", "destroy 102",
    // "text 1001: Connecting to Server", "enable 1002: 0", "pos 1000: 33",
    // "box <caption> [<style>]: <text>", "menu 16: &About Kestrin...", "icon 1", "paint x,y",
    // "move x,y".
    std::vector<std::string> log;
    // The lines of the log that start with prefix.
    std::vector<std::string> Lines(const std::string& prefix) const;
    // Only the message boxes' texts.
    std::vector<std::string> Messages() const;

    // User actions run one by one in the modal loop of the dialog on top; when none is left
    // the dialog is closed with IDCANCEL, as closing the window would.
    std::deque<std::function<void(RecordingWindow&)>> script;
    // Called while a message box is open (e.g. to check the dialog's state at that moment).
    std::function<void(const CString& text)> onMessageBox;
    // Whether CreateDialogWindow succeeds, and which templates exist.
    bool failCreate = false;
    RECT workArea{0, 0, 1024, 768};

    bool HasTemplate(int templateId) const override;
    std::unique_ptr<IDialogWindow> CreateDialogWindow(CDialog& dialog, int templateId,
                                                      IDialogWindow* owner) override;
    void RunModalLoop(CDialog& dialog, IDialogWindow& window) override;
    int MessageBox(IDialogWindow* owner, const CString& text, const CString& caption,
                   UINT style) override;
    HICON LoadIcon(int iconId) override;
    CString LoadString(int stringId) override;
    int GetSystemMetrics(int index) override;
    RECT GetWorkArea(const IDialogWindow* window) override;

    void Record(std::string line) { log.push_back(std::move(line)); }
    // The windows that exist now, bottom first.
    std::vector<RecordingWindow*> windows;
};

// Installs a recording front end for the life of the object.
class ScopedRecordingFrontEnd {
  public:
    ScopedRecordingFrontEnd() { AfxSetFrontEnd(&frontEnd); }
    ~ScopedRecordingFrontEnd() { AfxSetFrontEnd(nullptr); }
    RecordingFrontEnd frontEnd;
};
