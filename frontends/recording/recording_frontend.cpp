#include "frontends/recording/recording_frontend.h"

#include <algorithm>

#include "framework/dialog_template.h"

RecordingWindow::RecordingWindow(RecordingFrontEnd& frontEnd, CDialog& dialog, int templateId)
    : m_frontEnd(frontEnd), m_dialog(dialog), m_nTemplateId(templateId) {
    const DialogTemplate* tmpl = FindDialogTemplate(templateId);
    for (int i = 0; tmpl != nullptr && i < tmpl->controlCount; ++i) {
        m_texts[tmpl->controls[i].id] = tmpl->controls[i].text;
        m_itemEnabled[tmpl->controls[i].id] = (tmpl->controls[i].style & dlgstyle::kDisabled) == 0;
    }
    LONG w = tmpl ? DialogUnitsToPixelsX(tmpl->cx) : 0;
    LONG h = tmpl ? DialogUnitsToPixelsY(tmpl->cy) : 0;
    m_rect = RECT{0, 0, w, h};
    m_client = RECT{0, 0, w, h};
    m_frontEnd.windows.push_back(this);
}

RecordingWindow::~RecordingWindow() {
    m_frontEnd.Record("destroy " + std::to_string(m_nTemplateId));
    auto& all = m_frontEnd.windows;
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

void RecordingWindow::SetItemText(int id, const CString& text) {
    m_texts[id] = text;
    m_frontEnd.Record("text " + std::to_string(id) + ": " + text);
}

CString RecordingWindow::GetItemText(int id) const {
    auto it = m_texts.find(id);
    return it == m_texts.end() ? CString() : it->second;
}

void RecordingWindow::EnableItem(int id, bool enable) {
    m_itemEnabled[id] = enable;
    m_frontEnd.Record("enable " + std::to_string(id) + ": " + (enable ? "1" : "0"));
}

bool RecordingWindow::IsItemEnabled(int id) const {
    auto it = m_itemEnabled.find(id);
    return it != m_itemEnabled.end() && it->second;
}

LRESULT RecordingWindow::SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM) {
    if (message != PBM_SETPOS) return 0;
    int previous = m_nProgress;
    m_nProgress = static_cast<int>(wParam);
    m_frontEnd.Record("pos " + std::to_string(id) + ": " + std::to_string(m_nProgress));
    return previous;
}

void RecordingWindow::Show(bool show) {
    if (show != m_bVisible)
        m_frontEnd.Record((show ? "show " : "hide ") + std::to_string(m_nTemplateId));
    m_bVisible = show;
}

void RecordingWindow::Enable(bool enable) {
    m_bEnabled = enable;
    m_frontEnd.Record("window " + std::to_string(m_nTemplateId) +
                      (enable ? " enabled" : " disabled"));
}

void RecordingWindow::MoveTo(int left, int top) {
    LONG w = m_rect.right - m_rect.left, h = m_rect.bottom - m_rect.top;
    m_rect = RECT{left, top, left + w, top + h};
    m_frontEnd.Record("move " + std::to_string(left) + "," + std::to_string(top));
}

bool RecordingWindow::AppendSystemMenu(UINT flags, UINT commandId, const char* text) {
    if (flags & MF_SEPARATOR) {
        m_frontEnd.Record("menu separator");
    } else {
        m_menu.push_back({commandId, text ? text : ""});
        m_frontEnd.Record("menu " + std::to_string(commandId) + ": " + (text ? text : ""));
    }
    return true;
}

void RecordingWindow::SetIcon(int which, HICON) {
    m_frontEnd.Record("icon " + std::to_string(which));
}

void RecordingWindow::PaintIconic(HICON, int x, int y) {
    m_frontEnd.Record("paint " + std::to_string(x) + "," + std::to_string(y));
}

LRESULT RecordingWindow::DefaultProc(UINT message, WPARAM wParam, LPARAM) {
    m_frontEnd.Record("default " + std::to_string(message));
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) Deliver(WM_CLOSE, 0, 0);
    return 0;
}

LRESULT RecordingWindow::Deliver(UINT message, WPARAM wParam, LPARAM lParam) {
    return DeliverToDialog(m_dialog, *this, message, wParam, lParam);
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
