// A thin stand-in for the application framework: windows bound to objects, declarative message
// maps, modal dialogs whose loop pre-translates every queued message, and dialog data exchange.
// It knows nothing of pendants or hosts.
#pragma once

#include <windows.h>

#include <string>

class CWnd;

using MsgHandler = LRESULT (CWnd::*)(WPARAM, LPARAM);
using CmdHandler = void (CWnd::*)();

struct MsgMapEntry {
    UINT message;  // WM_COMMAND for command entries
    UINT commandId;
    MsgHandler onMessage;
    CmdHandler onCommand;
};

// The map reads like the class's list of messages, one line a message.
#define DECLARE_MESSAGE_MAP() \
protected:                    \
    const MsgMapEntry* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(cls)                            \
    const MsgMapEntry* cls::GetMessageMap() const {       \
        using ThisClass = cls;                            \
        static const MsgMapEntry entries[] = {
#define ON_MESSAGE(msg, fn) {(msg), 0, static_cast<MsgHandler>(&ThisClass::fn), nullptr},
#define ON_COMMAND(id, fn) {WM_COMMAND, (id), nullptr, static_cast<CmdHandler>(&ThisClass::fn)},
#define END_MESSAGE_MAP()           \
    {0, 0, nullptr, nullptr}        \
    }                               \
    ;                               \
    return entries;                 \
    }

class CDataExchange {
public:
    CDataExchange(CWnd* wnd, bool save) : window(wnd), saveAndValidate(save) {}
    CWnd* window;
    bool saveAndValidate;
};

// Binds a control's text to a string, in the direction the exchange says.
void DDX_Text(CDataExchange* dx, int controlId, std::string& value);

class CWnd {
public:
    CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    virtual ~CWnd();

    HWND GetSafeHwnd() const { return m_hWnd; }

    // Called for every queued message addressed to this window or one of its children before
    // it is dispatched; TRUE means handled and not dispatched.
    virtual BOOL PreTranslateMessage(MSG* msg);

    // Exchanges data between the controls and the object; save = controls to object.
    BOOL UpdateData(BOOL save = TRUE);

    static CWnd* FromHandle(HWND hwnd);
    // Offers the message to the addressed window and its ancestors, innermost first.
    static BOOL WalkPreTranslateTree(MSG* msg);

    HWND m_hWnd = nullptr;

protected:
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual const MsgMapEntry* GetMessageMap() const { return nullptr; }
    virtual void DoDataExchange(CDataExchange*) {}
    // Runs the window's original procedure for the message being handled.
    LRESULT Default();

    void Attach(HWND hwnd);
    void Detach();

    friend LRESULT CALLBACK FrameworkWndProc(HWND, UINT, WPARAM, LPARAM);
    friend LRESULT CALLBACK FrameworkCbtHook(int, WPARAM, LPARAM);

private:
protected:
    bool DispatchMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

private:

    WNDPROC oldProc_ = nullptr;
    const MSG* current_ = nullptr;
};

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr)
        : templateId_(templateId), parent_(parent) {}

    // Creates the dialog and runs its modal loop until EndDialog; returns EndDialog's value,
    // or -1 when the dialog cannot be created.
    virtual INT_PTR DoModal();
    // Creates the dialog without a modal loop (tests drive it with their own pump).
    BOOL Create(CWnd* parent = nullptr);
    void EndDialog(INT_PTR result);

    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();

    BOOL PreTranslateMessage(MSG* msg) override;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    HWND CreateFromTemplate(HWND owner);

    UINT templateId_;
    CWnd* parent_;
    bool endModal_ = false;
    INT_PTR result_ = 0;
};

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance() { return 0; }

    static CWinApp* Current();

    CWnd* m_pMainWnd = nullptr;
    HINSTANCE m_hInstance = nullptr;
};

// Ends every dialog box this thread shows (modal dialogs of ours and the system's message boxes
// alike) except `keep`, and any menu it tracks: a command that ends the program does not wait
// for the operator to close a box first.
void EndThreadDialogs(HWND keep);

// The program's entry: runs the one application object as the framework does.
int FrameworkWinMain(HINSTANCE instance);
