// The look-ups of CFrontEnd's defaults in the program's resource tables (see frontend.h).
#include "framework/frontend.h"

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
