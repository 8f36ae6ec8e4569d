// A front end whose dialog windows are CModelWindows built from the program's resource tables
// (generated into ui/res): the look-ups of templates and strings, and the making of a window
// (NewWindow, the dialog attached, WM_INITDIALOG, Initialised), written once for every front
// end. Its own library (kestrin_model_frontend), which the front ends link, so that the
// framework's library links nothing above it.
#pragma once

#include <memory>

#include "frontend.h"
#include "window_model.h"

class CModelFrontEnd : public CFrontEnd {
  public:
    bool HasTemplate(int templateId) const override;
    std::unique_ptr<IDialogWindow> CreateDialogWindow(CDialog& dialog, int templateId,
                                                      IDialogWindow* owner) override;
    CString LoadString(int stringId) override;

  protected:
    // The window of a template, not yet attached to the dialog; null when the window system
    // refuses to make it (and where a front end makes its windows itself).
    virtual std::unique_ptr<CModelWindow> NewWindow(CDialog& dialog, const DialogTemplate& tmpl,
                                                    IDialogWindow* owner);
    // After WM_INITDIALOG, which answered result (TRUE: the focus to the first control).
    virtual void Initialised(CModelWindow&, LRESULT) {}
};
