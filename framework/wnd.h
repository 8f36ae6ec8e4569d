// What the application object knows of a window: the window-system window behind it, if any.
// CDialog is the one kind of window this program has.
#pragma once

class IDialogWindow;

class CWnd {
  public:
    CWnd() = default;
    virtual ~CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    // Called by the front end with the window, before WM_INITDIALOG, and with null once the
    // window is gone.
    void Attach(IDialogWindow* window) { m_pWindow = window; }
    IDialogWindow* GetWindow() const { return m_pWindow; }

  protected:
    IDialogWindow* m_pWindow = nullptr;
};
