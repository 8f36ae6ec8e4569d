#include "frontends/recording/recording_frontend.h"

#include <algorithm>

#include "framework/dialog_template.h"

RecordingWindow::RecordingWindow(RecordingFrontEnd& frontEnd, CDialog& dialog, int templateId)
    : frontEnd_(frontEnd), dialog_(dialog), templateId_(templateId) {
    const DialogTemplate* tmpl = FindDialogTemplate(templateId);
    for (int i = 0; tmpl != nullptr && i < tmpl->controlCount; ++i) {
        texts_[tmpl->controls[i].id] = tmpl->controls[i].text;
        itemEnabled_[tmpl->controls[i].id] = (tmpl->controls[i].style & dlgstyle::kDisabled) == 0;
    }
    LONG w = tmpl ? DialogUnitsToPixelsX(tmpl->cx) : 0;
    LONG h = tmpl ? DialogUnitsToPixelsY(tmpl->cy) : 0;
    rect_ = RECT{0, 0, w, h};
    client_ = RECT{0, 0, w, h};
    frontEnd_.windows.push_back(this);
}

RecordingWindow::~RecordingWindow() {
    frontEnd_.Record("destroy " + std::to_string(templateId_));
    auto& all = frontEnd_.windows;
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

void RecordingWindow::SetItemText(int id, const CString& text) {
    texts_[id] = text;
    frontEnd_.Record("text " + std::to_string(id) + ": " + text);
}

CString RecordingWindow::GetItemText(int id) const {
    auto it = texts_.find(id);
    return it == texts_.end() ? CString() : it->second;
}

void RecordingWindow::EnableItem(int id, bool enable) {
    itemEnabled_[id] = enable;
    frontEnd_.Record("enable " + std::to_string(id) + ": " + (enable ? "1" : "0"));
}

bool RecordingWindow::IsItemEnabled(int id) const {
    auto it = itemEnabled_.find(id);
    return it != itemEnabled_.end() && it->second;
}

LRESULT RecordingWindow::SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM) {
    if (message != PBM_SETPOS) return 0;
    int previous = progress_;
    progress_ = static_cast<int>(wParam);
    frontEnd_.Record("pos " + std::to_string(id) + ": " + std::to_string(progress_));
    return previous;
}

void RecordingWindow::Show(bool show) {
    if (show != visible_)
        frontEnd_.Record((show ? "show " : "hide ") + std::to_string(templateId_));
    visible_ = show;
}

void RecordingWindow::Enable(bool enable) {
    enabled_ = enable;
    frontEnd_.Record("window " + std::to_string(templateId_) + (enable ? " enabled" : " disabled"));
}

void RecordingWindow::MoveTo(int left, int top) {
    LONG w = rect_.right - rect_.left, h = rect_.bottom - rect_.top;
    rect_ = RECT{left, top, left + w, top + h};
    frontEnd_.Record("move " + std::to_string(left) + "," + std::to_string(top));
}

bool RecordingWindow::AppendSystemMenu(UINT flags, UINT commandId, const char* text) {
    if (flags & MF_SEPARATOR) {
        frontEnd_.Record("menu separator");
    } else {
        menu_.push_back({commandId, text ? text : ""});
        frontEnd_.Record("menu " + std::to_string(commandId) + ": " + (text ? text : ""));
    }
    return true;
}

void RecordingWindow::SetIcon(int which, HICON) {
    frontEnd_.Record("icon " + std::to_string(which));
}

void RecordingWindow::PaintIconic(HICON, int x, int y) {
    frontEnd_.Record("paint " + std::to_string(x) + "," + std::to_string(y));
}

LRESULT RecordingWindow::DefaultProc(UINT message, WPARAM wParam, LPARAM) {
    frontEnd_.Record("default " + std::to_string(message));
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) Deliver(WM_CLOSE, 0, 0);
    return 0;
}

LRESULT RecordingWindow::Deliver(UINT message, WPARAM wParam, LPARAM lParam) {
    return DeliverToDialog(dialog_, *this, message, wParam, lParam);
}

RecordingFrontEnd::RecordingFrontEnd() = default;
RecordingFrontEnd::~RecordingFrontEnd() = default;

std::vector<std::string> RecordingFrontEnd::Lines(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : log) {
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
}

std::vector<std::string> RecordingFrontEnd::Messages() const {
    std::vector<std::string> out;
    for (const std::string& line : log) {
        if (line.rfind("box ", 0) == 0) out.push_back(line.substr(line.find("]: ") + 3));
    }
    return out;
}

bool RecordingFrontEnd::HasTemplate(int templateId) const {
    return FindDialogTemplate(templateId) != nullptr;
}

std::unique_ptr<IDialogWindow> RecordingFrontEnd::CreateDialogWindow(CDialog& dialog,
                                                                     int templateId,
                                                                     IDialogWindow*) {
    Record("create " + std::to_string(templateId));
    if (failCreate) return nullptr;
    auto window = std::make_unique<RecordingWindow>(*this, dialog, templateId);
    dialog.Attach(window.get());
    Record("init " + std::to_string(templateId));
    window->Deliver(WM_INITDIALOG, 0, 0);
    return window;
}

void RecordingFrontEnd::RunModalLoop(CDialog& dialog, IDialogWindow& window) {
    Record("loop " + std::to_string(dialog.GetTemplateId()));
    window.Show(true);
    auto& recording = static_cast<RecordingWindow&>(window);
    while (!dialog.IsEnded()) {
        if (script.empty()) {
            recording.Deliver(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            if (!dialog.IsEnded()) dialog.EndDialog(IDCANCEL);
            break;
        }
        auto action = std::move(script.front());
        script.pop_front();
        action(recording);
    }
}

int RecordingFrontEnd::MessageBox(IDialogWindow*, const CString& text, const CString& caption,
                                  UINT style) {
    Record("box " + caption + " [" + std::to_string(style) + "]: " + text);
    if (onMessageBox) onMessageBox(text);
    return IDOK;
}

HICON RecordingFrontEnd::LoadIcon(int iconId) {
    return reinterpret_cast<HICON>(static_cast<intptr_t>(iconId));
}

CString RecordingFrontEnd::LoadString(int stringId) {
    const char* text = FindStringResource(stringId);
    return text ? text : "";
}

int RecordingFrontEnd::GetSystemMetrics(int index) {
    return index == SM_CXICON || index == SM_CYICON ? 32 : 0;
}

RECT RecordingFrontEnd::GetWorkArea(const IDialogWindow*) {
    return workArea;
}
