#include "framework/model_frontend.h"

#include "framework/dialog.h"

bool CModelFrontEnd::HasTemplate(int templateId) const {
    return FindDialogTemplate(templateId) != nullptr;
}

std::unique_ptr<IDialogWindow> CModelFrontEnd::CreateDialogWindow(CDialog& dialog, int templateId,
                                                                  IDialogWindow* owner) {
    const DialogTemplate* tmpl = FindDialogTemplate(templateId);
    std::unique_ptr<CModelWindow> window =
        tmpl != nullptr ? NewWindow(dialog, *tmpl, owner) : nullptr;
    if (window == nullptr) return nullptr;
    dialog.Attach(window.get());
    LRESULT result = window->Deliver(WM_INITDIALOG, 0, 0);
    Initialised(*window, result);
    return window;
}

CString CModelFrontEnd::LoadString(int stringId) {
    const char* text = FindStringResource(stringId);
    return text != nullptr ? CString(text) : CString();
}

std::unique_ptr<CModelWindow> CModelFrontEnd::NewWindow(CDialog&, const DialogTemplate&,
                                                        IDialogWindow*) {
    return nullptr;
}
