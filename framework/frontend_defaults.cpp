// CFrontEnd's defaults: the look-ups in the program's resource tables, and the dialog window of
// a template (see frontend.h).
#include "framework/dialog.h"
#include "framework/frontend.h"
#include "framework/window_model.h"

bool CFrontEnd::HasTemplate(int templateId) const {
    return FindDialogTemplate(templateId) != nullptr;
}

std::unique_ptr<IDialogWindow> CFrontEnd::CreateDialogWindow(CDialog& dialog, int templateId,
                                                             IDialogWindow* owner) {
    const DialogTemplate* tmpl = FindDialogTemplate(templateId);
    return tmpl != nullptr ? CreateFromTemplate(dialog, *tmpl, owner) : nullptr;
}

CString CFrontEnd::LoadString(int stringId) {
    const char* text = FindStringResource(stringId);
    return text != nullptr ? CString(text) : CString();
}

std::unique_ptr<IDialogWindow> CFrontEnd::CreateFromTemplate(CDialog& dialog,
                                                             const DialogTemplate& tmpl,
                                                             IDialogWindow* owner) {
    std::unique_ptr<CModelWindow> window = NewWindow(dialog, tmpl, owner);
    if (window == nullptr) return nullptr;
    dialog.Attach(window.get());
    LRESULT result = window->Deliver(WM_INITDIALOG, 0, 0);
    Initialised(*window, result);
    return window;
}

std::unique_ptr<CModelWindow> CFrontEnd::NewWindow(CDialog&, const DialogTemplate&,
                                                   IDialogWindow*) {
    return nullptr;
}
