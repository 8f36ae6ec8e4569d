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
    bool IsVisible() const override { return visible_; }
    void Show(bool show) override;
    bool IsEnabled() const override { return enabled_; }
    void Enable(bool enable) override;
    bool IsActive() const override { return visible_; }
    void Activate() override {}
    bool IsIconic() const override { return iconic_; }
    bool IsChild() const override { return false; }
    RECT GetWindowRect() const override { return rect_; }
    RECT GetClientRect() const override { return client_; }
    void MoveTo(int left, int top) override;
    bool AppendSystemMenu(UINT flags, UINT commandId, const char* text) override;
    void SetIcon(int which, HICON icon) override;
    void PaintIconic(HICON icon, int x, int y) override;
    LRESULT DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Delivers a message the way a window system would (default treatment included).
    LRESULT Deliver(UINT message, WPARAM wParam, LPARAM lParam);
    void Click(int controlId) { Deliver(WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED), 0); }

    CDialog& dialog() { return dialog_; }
    int templateId() const { return templateId_; }
    int progress() const { return progress_; }
    const std::vector<std::pair<UINT, std::string>>& systemMenu() const { return menu_; }
    void SetIconic(bool iconic, RECT client) {
        iconic_ = iconic;
        client_ = client;
    }

  private:
    RecordingFrontEnd& frontEnd_;
    CDialog& dialog_;
    int templateId_;
    std::map<int, CString> texts_;
    std::map<int, bool> itemEnabled_;
    std::vector<std::pair<UINT, std::string>> menu_;
    int progress_ = 0;
    bool visible_ = false;
    bool enabled_ = true;
    bool iconic_ = false;
    RECT rect_{};
    RECT client_{};
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
