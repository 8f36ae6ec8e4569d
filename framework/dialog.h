// Dialogs: modal run, message maps, data exchange and the progress-bar wrapper.
#pragma once

#include <memory>
#include <vector>

#include "cstring.h"
#include "frontend.h"
#include "platform/win32api.h"
#include "wnd.h"

class CDialog;
class CDataExchange;

// One message-map entry: a message (with, for WM_COMMAND, a notification code and control id)
// and the thunk that calls the handler on the dialog. Entries are matched in order, the
// derived class's map before its base's.
struct MessageMapEntry {
    UINT message;
    UINT code;  // WM_COMMAND: notification code
    int id;     // WM_COMMAND: control id
    LRESULT (*handler)(CDialog& dialog, WPARAM wParam, LPARAM lParam);
};

struct MessageMap {
    const MessageMap* base;
    const MessageMapEntry* entries;
    int count;
};

// Helpers that turn a handler member into an entry.
template <class T, void (T::*Fn)(UINT, LPARAM)>
constexpr MessageMapEntry OnSysCommandEntry() {
    return {WM_SYSCOMMAND, 0, 0, [](CDialog& d, WPARAM w, LPARAM l) -> LRESULT {
                (static_cast<T&>(d).*Fn)(static_cast<UINT>(w), l);
                return 0;
            }};
}
template <class T, void (T::*Fn)()>
constexpr MessageMapEntry OnMessageEntry(UINT message) {
    return {message, 0, 0, [](CDialog& d, WPARAM, LPARAM) -> LRESULT {
                (static_cast<T&>(d).*Fn)();
                return 0;
            }};
}
template <class T, HICON (T::*Fn)()>
constexpr MessageMapEntry OnQueryDragIconEntry() {
    return {WM_QUERYDRAGICON, 0, 0, [](CDialog& d, WPARAM, LPARAM) -> LRESULT {
                return reinterpret_cast<LRESULT>((static_cast<T&>(d).*Fn)());
            }};
}
template <class T, void (T::*Fn)()>
constexpr MessageMapEntry OnCommandEntry(UINT code, int id) {
    return {WM_COMMAND, code, id, [](CDialog& d, WPARAM, LPARAM) -> LRESULT {
                (static_cast<T&>(d).*Fn)();
                return 0;
            }};
}

// The progress bar, driven by PBM_SETPOS on a 0 to 100 range that nothing changes.
class CProgressCtrl {
  public:
    CProgressCtrl() = default;
    CProgressCtrl(const CProgressCtrl&) = delete;
    CProgressCtrl& operator=(const CProgressCtrl&) = delete;

    void Attach(IDialogWindow* window, int id);
    void Detach();
    bool IsAttached() const { return m_pWindow != nullptr; }
    // Sends PBM_SETPOS; returns the previous position.
    int SetPos(int pos);
    LRESULT SendMessage(UINT message, WPARAM wParam, LPARAM lParam);

  private:
    IDialogWindow* m_pWindow = nullptr;
    int m_nId = 0;
};

class CDataExchange {
  public:
    CDataExchange(CDialog& dialog, bool saveAndValidate)
        : m_pDlgWnd(&dialog), m_bSaveAndValidate(saveAndValidate) {}
    CDialog* m_pDlgWnd;
    bool m_bSaveAndValidate;  // true: controls to members
};

// Binds control id to the wrapper (the first exchange attaches the control).
void DDX_Control(CDataExchange* pDX, int id, CProgressCtrl& control);
// Exchanges a control's text with a string member in the exchange's direction.
void DDX_Text(CDataExchange* pDX, int id, CString& value);

class CDialog : public CWnd {
  public:
    CDialog(int templateId, CDialog* parent);
    virtual ~CDialog();

    // The modal run: load the template (-1 when it cannot be had), find and disable the owner,
    // create the window (which runs OnInitDialog), run the modal loop unless the dialog was
    // ended already, hide the window, enable and activate the owner again, destroy the window,
    // return the code the dialog was ended with.
    int RunModal();

    // Ends the modal run with result; the run stops once the current handler returns.
    void EndDialog(int result);
    bool IsEnded() const { return m_bEnded; }
    int GetTemplateId() const { return m_templateId; }

    // Where front ends deliver messages. Returns the handler's result; *handled is false when
    // no map entry took the message or the handler passed it on (Default()), in which case
    // the front end gives it its default treatment. An exception that leaves a handler is
    // caught here and shown as the framework does ("Internal application error." when it
    // carries no text).
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam, bool* handled);

    // The two directions of data exchange: true reads the controls into the members.
    bool UpdateData(bool saveAndValidate);

    // Controls of this dialog.
    void SetDlgItemText(int id, const CString& text);
    CString GetDlgItemText(int id) const;
    void EnableDlgItem(int id, bool enable);

    // A control wrapper attached by data exchange; detached when the window is destroyed.
    void RegisterControl(CProgressCtrl* control);

    // Whether a run is under way in one of the dialog's handlers (a RunScope lives). While one
    // is, the front end keeps the window answering (CFrontEnd::Pump), and the dialog takes only
    // what ends it: the Cancel command (IDCANCEL), WM_CLOSE and the system's own commands
    // (close, move, minimise); any other command is dropped, as input is while a handler runs.
    bool IsRunning() const { return m_nRuns > 0; }

    // A run of a handler, as long as the object lives; the front end is told of its start and
    // end (CFrontEnd::RunBegins, RunEnds). Runs nest.
    class RunScope {
      public:
        explicit RunScope(CDialog& dialog);
        ~RunScope();
        RunScope(const RunScope&) = delete;
        RunScope& operator=(const RunScope&) = delete;

      private:
        CDialog& m_dialog;
    };

  protected:
    virtual const MessageMap* GetMessageMap() const;
    virtual void ExchangeData(CDataExchange* pDX);
    // The first data exchange towards the controls; result TRUE to let the system set the
    // focus to the first control that takes it.
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    // Passes the message being handled on to the window's default handling.
    LRESULT Default();

  private:
    static const MessageMap* BaseMessageMap();
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam, bool* handled);
    LRESULT HandleInitDialog();
    void CentreWindow();
    void DestroyWindow(std::unique_ptr<IDialogWindow> window);

    int m_templateId;
    CDialog* m_pParent;
    IDialogWindow* m_pOwnerWindow = nullptr;
    bool m_bEnded = false;
    int m_nResult = IDCANCEL;
    int m_nRuns = 0;
    // The message being dispatched, for Default().
    UINT m_curMessage = 0;
    WPARAM m_curWParam = 0;
    LPARAM m_curLParam = 0;
    std::vector<CProgressCtrl*> m_controls;
};

// What the window system does with each message for a dialog: the dialog (CDialog::WindowProc)
// first, then the window's default handling (DefaultProc) when the dialog left it unhandled.
// The result is that of whichever answered last. (The Win32 front end has the system's dialog
// manager for this.)
LRESULT DeliverToDialog(CDialog& dialog, IDialogWindow& window, UINT message, WPARAM wParam,
                        LPARAM lParam);
