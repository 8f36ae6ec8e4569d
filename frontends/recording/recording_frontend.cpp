#include "frontends/recording/recording_frontend.h"

#include <algorithm>

namespace {

CString Id(int id) {
    return std::to_string(id);
}

}  // namespace

RecordingWindow::RecordingWindow(RecordingFrontEnd& frontEnd, CDialog& dialog,
                                 const DialogTemplate& tmpl)
    : CModelWindow(dialog, tmpl), m_frontEnd(frontEnd) {
    m_frontEnd.windows.push_back(this);
}

RecordingWindow::~RecordingWindow() {
    m_frontEnd.Record("destroy " + Id(Model().Template().id));
    auto& all = m_frontEnd.windows;
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

void RecordingWindow::Changed(Change what, int id, bool) {
    const CWindowModel& model = Model();
    const CString window = Id(model.Template().id);
    switch (what) {
        case Change::Text:
            return m_frontEnd.Record("text " + Id(id) + ": " + GetItemText(id));
        case Change::ItemEnabled:
            return m_frontEnd.Record("enable " + Id(id) + ": " + (IsItemEnabled(id) ? "1" : "0"));
        case Change::Progress:
            return m_frontEnd.Record("pos " + Id(id) + ": " + Id(model.Find(id)->position));
        case Change::Shown:
        case Change::Hidden:
            return m_frontEnd.Record((what == Change::Shown ? "show " : "hide ") + window);
        case Change::Enabled:
            return m_frontEnd.Record("window " + window +
                                     (model.enabled ? " enabled" : " disabled"));
        case Change::Moved:
            return m_frontEnd.Record("move " + Id(model.rect.left) + "," + Id(model.rect.top));
        case Change::Menu: {
            const MenuEntry& entry = model.Menu()[static_cast<size_t>(id)];
            return m_frontEnd.Record(entry.separator
                                         ? CString("menu separator")
                                         : "menu " + Id(entry.command) + ": " + entry.text);
        }
        case Change::Icon:
            return m_frontEnd.Record("icon " + Id(id));
    }
}

void RecordingWindow::PaintIconic(HICON, int x, int y) {
    m_frontEnd.Record("paint " + Id(x) + "," + Id(y));
}

LRESULT RecordingWindow::DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) {
    m_frontEnd.Record("default " + Id(static_cast<int>(message)));
    return CModelWindow::DefaultProc(message, wParam, lParam);
}

std::vector<CString> RecordingFrontEnd::Lines(const CString& prefix) const {
    std::vector<CString> out;
    std::copy_if(log.begin(), log.end(), std::back_inserter(out),
                 [&](const CString& line) { return line.starts_with(prefix); });
    return out;
}

std::vector<CString> RecordingFrontEnd::Messages() const {
    std::vector<CString> out;
    for (const CString& line : Lines("box ")) out.push_back(line.substr(line.find("]: ") + 3));
    return out;
}

std::unique_ptr<CModelWindow> RecordingFrontEnd::NewWindow(CDialog& dialog,
                                                           const DialogTemplate& tmpl,
                                                           IDialogWindow*) {
    Record("create " + Id(tmpl.id));
    if (failCreate) return nullptr;
    Record("init " + Id(tmpl.id));
    return std::make_unique<RecordingWindow>(*this, dialog, tmpl);
}

void RecordingFrontEnd::RunModalLoop(CDialog& dialog, IDialogWindow& baseWindow) {
    auto& window = static_cast<RecordingWindow&>(baseWindow);
    Record("loop " + Id(dialog.GetTemplateId()));
    window.Show(true);
    while (!dialog.IsEnded()) {
        if (script.empty()) return window.InputEnded();
        auto action = std::move(script.front());
        script.pop_front();
        action(window);
    }
}

int RecordingFrontEnd::MessageBox(IDialogWindow*, const CString& text, const CString& caption,
                                  UINT style) {
    Record("box " + caption + " [" + Id(static_cast<int>(style)) + "]: " + text);
    if (onMessageBox) onMessageBox(text);
    return IDOK;
}
