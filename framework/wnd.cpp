#include "framework/wnd.h"

#include <map>
#include <mutex>

namespace {

std::mutex g_mapLock;
std::map<HWND, CWnd*> g_windows;

// The object waiting to be bound to the next window this thread creates.
thread_local CWnd* t_pendingAttach = nullptr;
thread_local HHOOK t_cbtHook = nullptr;

CWinApp* g_app = nullptr;

INT_PTR CALLBACK StubDialogProc(HWND, UINT, WPARAM, LPARAM) {
    // Everything reaches the object through the subclassed window procedure.
    return FALSE;
}

}  // namespace

LRESULT CALLBACK FrameworkWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* wnd = CWnd::FromHandle(hwnd);
    if (!wnd) return DefWindowProcA(hwnd, message, wParam, lParam);
    MSG msg{hwnd, message, wParam, lParam, 0, {0, 0}};
    const MSG* saved = wnd->current_;
    wnd->current_ = &msg;
    LRESULT result = wnd->WindowProc(message, wParam, lParam);
    wnd->current_ = saved;
    if (message == WM_NCDESTROY) wnd->Detach();
    return result;
}

// A dialog procedure never sees WM_CREATE, so the object is bound when the window is created,
// before its first message.
LRESULT CALLBACK FrameworkCbtHook(int code, WPARAM wParam, LPARAM lParam) {
    HHOOK hook = t_cbtHook;
    if (code == HCBT_CREATEWND && t_pendingAttach) {
        CWnd* wnd = t_pendingAttach;
        t_pendingAttach = nullptr;
        wnd->Attach(reinterpret_cast<HWND>(wParam));
        UnhookWindowsHookEx(t_cbtHook);
        t_cbtHook = nullptr;
    }
    return CallNextHookEx(hook, code, wParam, lParam);
}

CWnd::~CWnd() {
    if (m_hWnd) {
        HWND hwnd = m_hWnd;
        Detach();
        DestroyWindow(hwnd);
    }
}

CWnd* CWnd::FromHandle(HWND hwnd) {
    std::lock_guard<std::mutex> lock(g_mapLock);
    auto it = g_windows.find(hwnd);
    return it == g_windows.end() ? nullptr : it->second;
}

void CWnd::Attach(HWND hwnd) {
    m_hWnd = hwnd;
    {
        std::lock_guard<std::mutex> lock(g_mapLock);
        g_windows[hwnd] = this;
    }
    oldProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FrameworkWndProc)));
}

void CWnd::Detach() {
    if (!m_hWnd) return;
    if (oldProc_) SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(oldProc_));
    {
        std::lock_guard<std::mutex> lock(g_mapLock);
        g_windows.erase(m_hWnd);
    }
    m_hWnd = nullptr;
}

BOOL CWnd::PreTranslateMessage(MSG*) { return FALSE; }

BOOL CWnd::WalkPreTranslateTree(MSG* msg) {
    for (HWND hwnd = msg->hwnd; hwnd; hwnd = GetParent(hwnd)) {
        if (CWnd* wnd = FromHandle(hwnd)) {
            if (wnd->PreTranslateMessage(msg)) return TRUE;
        }
        if (!(GetWindowLongA(hwnd, GWL_STYLE) & WS_CHILD)) break;
    }
    return FALSE;
}

BOOL CWnd::UpdateData(BOOL save) {
    CDataExchange dx(this, save != FALSE);
    DoDataExchange(&dx);
    return TRUE;
}

LRESULT CWnd::Default() {
    const MSG* msg = current_;
    if (!msg || !m_hWnd) return 0;
    if (oldProc_) return CallWindowProcA(oldProc_, m_hWnd, msg->message, msg->wParam, msg->lParam);
    return DefWindowProcA(m_hWnd, msg->message, msg->wParam, msg->lParam);
}

bool CWnd::DispatchMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    const MsgMapEntry* entry = GetMessageMap();
    if (!entry) return false;
    for (; entry->message != 0; ++entry) {
        if (entry->message != message) continue;
        if (message == WM_COMMAND) {
            // Menu and accelerator commands only (notification code 0 or 1).
            if (entry->commandId != LOWORD(wParam) || HIWORD(wParam) > 1) continue;
            (this->*entry->onCommand)();
            *result = 0;
            return true;
        }
        *result = (this->*entry->onMessage)(wParam, lParam);
        return true;
    }
    return false;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (DispatchMap(message, wParam, lParam, &result)) return result;
    return Default();
}

void DDX_Text(CDataExchange* dx, int controlId, std::string& value) {
    HWND control = GetDlgItem(dx->window->m_hWnd, controlId);
    if (!control) return;
    if (dx->saveAndValidate) {
        int length = GetWindowTextLengthA(control);
        std::string text(static_cast<size_t>(length) + 1, '\0');
        int got = GetWindowTextA(control, &text[0], length + 1);
        text.resize(got > 0 ? static_cast<size_t>(got) : 0);
        value = text;
    } else {
        SetWindowTextA(control, value.c_str());
    }
}

HWND CDialog::CreateFromTemplate(HWND owner) {
    t_pendingAttach = this;
    t_cbtHook = SetWindowsHookExA(WH_CBT, FrameworkCbtHook, nullptr, GetCurrentThreadId());
    HWND hwnd = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId_), owner,
                                   StubDialogProc, 0);
    if (t_cbtHook) {
        UnhookWindowsHookEx(t_cbtHook);
        t_cbtHook = nullptr;
    }
    t_pendingAttach = nullptr;
    return hwnd;
}

BOOL CDialog::Create(CWnd* parent) {
    if (parent) parent_ = parent;
    return CreateFromTemplate(parent_ ? parent_->m_hWnd : nullptr) != nullptr;
}

INT_PTR CDialog::DoModal() {
    // Without an explicit parent a dialog is owned by the application's main window, which is
    // disabled while the dialog runs, as the framework's own dialogs do.
    HWND owner = parent_ ? parent_->m_hWnd : nullptr;
    if (!owner) {
        CWinApp* app = CWinApp::Current();
        if (app && app->m_pMainWnd && app->m_pMainWnd != this) owner = app->m_pMainWnd->m_hWnd;
    }
    bool ownerWasEnabled = owner && IsWindowEnabled(owner);
    if (ownerWasEnabled) EnableWindow(owner, FALSE);

    endModal_ = false;
    result_ = -1;
    HWND hwnd = CreateFromTemplate(owner);
    if (!hwnd) {
        if (ownerWasEnabled) EnableWindow(owner, TRUE);
        return -1;
    }
    if (!endModal_) {
        ShowWindow(hwnd, SW_SHOWNORMAL);
        UpdateWindow(hwnd);
    }
    MSG msg;
    while (!endModal_) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (got < 0) break;
        if (!WalkPreTranslateTree(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    if (ownerWasEnabled) EnableWindow(owner, TRUE);
    if (m_hWnd) {
        SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                     SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOZORDER);
        if (owner) SetActiveWindow(owner);
        DestroyWindow(m_hWnd);
    }
    return result_;
}

void CDialog::EndDialog(INT_PTR result) {
    result_ = result;
    endModal_ = true;
    // Wake the modal loop in case the call came from outside it.
    if (m_hWnd) PostMessageA(m_hWnd, WM_NULL, 0, 0);
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::PreTranslateMessage(MSG* msg) {
    // Keyboard navigation of the dialog's own controls.
    if (msg->message >= WM_KEYFIRST && msg->message <= WM_KEYLAST && m_hWnd &&
        (msg->hwnd == m_hWnd || IsChild(m_hWnd, msg->hwnd))) {
        return IsDialogMessageA(m_hWnd, msg);
    }
    return FALSE;
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (message == WM_INITDIALOG) return OnInitDialog();
    if (CWnd::DispatchMap(message, wParam, lParam, &result)) return result;
    if (message == WM_COMMAND && HIWORD(wParam) <= 1) {
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            return 0;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            return 0;
        }
    }
    return Default();
}

namespace {
BOOL CALLBACK EndDialogOf(HWND hwnd, LPARAM keep) {
    if (hwnd == reinterpret_cast<HWND>(keep)) return TRUE;
    char name[16] = {0};
    GetClassNameA(hwnd, name, sizeof(name));
    if (lstrcmpA(name, "#32770") != 0) return TRUE;
    if (auto* dialog = dynamic_cast<CDialog*>(CWnd::FromHandle(hwnd)))
        dialog->EndDialog(IDCANCEL);
    else
        ::EndDialog(hwnd, IDCANCEL);
    return TRUE;
}
}  // namespace

void EndThreadDialogs(HWND keep) {
    EndMenu();
    EnumThreadWindows(GetCurrentThreadId(), EndDialogOf, reinterpret_cast<LPARAM>(keep));
}

CWinApp::CWinApp() { g_app = this; }

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

CWinApp* CWinApp::Current() { return g_app; }

int FrameworkWinMain(HINSTANCE instance) {
    CWinApp* app = CWinApp::Current();
    if (!app) return 1;
    app->m_hInstance = instance;
    if (!app->InitInstance()) return app->ExitInstance();
    // Success without a main window means there is nothing to run: end at once.
    if (!app->m_pMainWnd) return app->ExitInstance();
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!CWnd::WalkPreTranslateTree(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return app->ExitInstance();
}
