// The recording front end, the tests' dummy driver: a window system without windows. The
// framework's window model keeps every dialog's state, which tests read through Model(); this
// driver only writes each request as a line of text, answers message boxes, and runs a script
// of user actions in the modal loop.
#pragma once

#include <deque>
#include <functional>
#include <vector>

#include "framework/dialog.h"
#include "framework/frontend.h"
#include "framework/model_frontend.h"
#include "framework/window_model.h"

class RecordingFrontEnd;

class RecordingWindow : public CModelWindow {
  public:
    RecordingWindow(RecordingFrontEnd& frontEnd, CDialog& dialog, const DialogTemplate& tmpl);
    ~RecordingWindow() override;

    void PaintIconic(HICON icon, int x, int y) override;
    LRESULT DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  protected:
    void Changed(Change what, int id, bool differs) override;

  private:
    RecordingFrontEnd& m_frontEnd;
};

class RecordingFrontEnd : public CModelFrontEnd {
  public:
    // What happened, one line each: "create 102", "init 102", "loop 102", "destroy 102",
    // "text 1001: Connecting to Server", "enable 1002: 0", "pos 1000: 33",
    // "box <caption> [<style>]: <text>", "menu 16: &About Kestrin...", "menu separator",
    // "icon 1", "paint x,y", "move x,y", "show 102", "hide 102", "window 102 disabled",
    // "default <message>".
    std::vector<CString> log;
    // The lines of the log that start with prefix.
    std::vector<CString> Lines(const CString& prefix) const;
    // Only the message boxes' texts.
    std::vector<CString> Messages() const;

    // User actions run one by one in the modal loop of the dialog on top; when none is left
    // the dialog is closed with IDCANCEL, as closing the window would.
    std::deque<std::function<void(RecordingWindow&)>> script;
    // Called while a message box is open (e.g. to check the dialog's state at that moment).
    std::function<void(const CString& text)> onMessageBox;
    // Called at each pump of a run (e.g. to press Cancel while it goes on), with the number of
    // pumps of the run so far; runs under way, and the pumps of this one.
    std::function<void(RecordingWindow&, int pump)> onPump;
    int runs = 0;
    int pumps = 0;
    // Whether creating a window fails, and the screen's work area.
    bool failCreate = false;
    RECT workArea{0, 0, 1024, 768};
    // The windows that exist now, bottom first.
    std::vector<RecordingWindow*> windows;

    void RunModalLoop(CDialog& dialog, IDialogWindow& window) override;
    void RunBegins() override {
        ++runs;
        pumps = 0;
    }
    void RunEnds() override { --runs; }
    void Pump(IDialogWindow& window) override {
        ++pumps;
        if (onPump) onPump(static_cast<RecordingWindow&>(window), pumps);
    }
    int MessageBox(IDialogWindow* owner, const CString& text, const CString& caption,
                   UINT style) override;
    RECT GetWorkArea(const IDialogWindow*) override { return workArea; }
    void Record(CString line) { log.push_back(std::move(line)); }

  protected:
    std::unique_ptr<CModelWindow> NewWindow(CDialog& dialog, const DialogTemplate& tmpl,
                                            IDialogWindow* owner) override;
};

// Installs a recording front end for the life of the object.
class ScopedRecordingFrontEnd {
  public:
    ScopedRecordingFrontEnd() { AfxSetFrontEnd(&frontEnd); }
    ~ScopedRecordingFrontEnd() { AfxSetFrontEnd(nullptr); }
    RecordingFrontEnd frontEnd;
};
