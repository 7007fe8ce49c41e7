// What the tray and About tests share: the main dialog created on the test thread over a fake
// bus, and watchers that find the popup menu and the About box from another thread, read them
// and close them, as a user would.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/driver_dlg.h"
#include "app/driver_state.h"
#include "app/tray_icon.h"
#include "pendant/pendant_device.h"
#include "res/resource.h"
#include "support/driver_test.h"

namespace traytest {

constexpr char kAboutTitle[] = "Qorin PX40 DRIVER-V2.3";

// A visible window of this process, read without a message to its thread (the test thread may be
// inside the menu or the box this looks for).
inline HWND FindOwnWindow(const char* cls, const char* title) {
    return harness::FindWindowOf(GetCurrentProcessId(), title, cls);
}

// Polls from its own thread until destroyed; every window it finds is read and then closed.
class Watcher {
public:
    virtual ~Watcher() { Stop(); }
    int Count() const { return count_; }

protected:
    void Start() {
        thread_ = std::thread([this] {
            while (!stop_) {
                if (HWND found = Find()) {
                    Handle(found);
                    for (int i = 0; i < 400 && IsWindow(found) && IsWindowVisible(found); ++i) Sleep(5);
                }
                Sleep(5);
            }
        });
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    virtual HWND Find() = 0;
    // Reads the window, calls Seen(), then closes it: the count is up before the window goes.
    virtual void Handle(HWND found) = 0;
    void Seen() { ++count_; }
    std::mutex lock_;

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> count_{0};
    std::thread thread_;
};

// The popup menu (class "#32768"): records Lock's check mark and the items, then closes it with
// Escape or chooses the item at chooseIndex with the arrow keys and Enter.
class PopupMenuWatcher : public Watcher {
public:
    explicit PopupMenuWatcher(int chooseIndex = -1) : choose_(chooseIndex) { Start(); }
    ~PopupMenuWatcher() override { Stop(); }
    bool LockChecked() {
        std::lock_guard<std::mutex> g(lock_);
        return lockChecked_;
    }
    std::vector<std::string> Items() {
        std::lock_guard<std::mutex> g(lock_);
        return items_;
    }

protected:
    HWND Find() override { return FindOwnWindow("#32768", nullptr); }
    void Handle(HWND menuWindow) override {
        DWORD_PTR result = 0;
        SendMessageTimeoutA(menuWindow, 0x01E1 /* MN_GETHMENU */, 0, 0, SMTO_NORMAL, 2000, &result);
        HMENU menu = reinterpret_cast<HMENU>(result);
        {
            std::lock_guard<std::mutex> g(lock_);
            lockChecked_ = menu && (GetMenuState(menu, ID_LOCK, MF_BYCOMMAND) & MF_CHECKED) != 0;
            items_.clear();
            for (int i = 0; menu && i < GetMenuItemCount(menu); ++i) {
                char text[64] = {0};
                GetMenuStringA(menu, i, text, sizeof(text), MF_BYPOSITION);
                items_.push_back(text);
            }
        }
        Seen();
        if (choose_ < 0) {
            PostMessageA(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
        } else {
            for (int i = 0; i <= choose_; ++i) PostMessageA(menuWindow, WM_KEYDOWN, VK_DOWN, 0);
            PostMessageA(menuWindow, WM_KEYDOWN, VK_RETURN, 0);
        }
    }

private:
    int choose_;
    bool lockChecked_ = false;
    std::vector<std::string> items_;
};

// The About box: records the status line (control 1005) and presses OK.
class AboutBoxWatcher : public Watcher {
public:
    AboutBoxWatcher() { Start(); }
    ~AboutBoxWatcher() override { Stop(); }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> g(lock_);
        return texts_;
    }
    bool HadIcon() const { return hadIcon_; }

protected:
    HWND Find() override { return FindOwnWindow("#32770", kAboutTitle); }
    void Handle(HWND box) override {
        char text[256] = {0};
        GetDlgItemTextA(box, IDC_STATUS_TEXT, text, sizeof(text));
        // The icon static has no id of its own; find it by its style.
        HWND child = GetWindow(box, GW_CHILD);
        for (; child; child = GetWindow(child, GW_HWNDNEXT)) {
            if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
                SendMessageA(child, STM_GETICON, 0, 0) != 0)
                hadIcon_ = true;
        }
        {
            std::lock_guard<std::mutex> g(lock_);
            texts_.push_back(text);
        }
        Seen();
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }

private:
    std::vector<std::string> texts_;
    std::atomic<bool> hadIcon_{false};
};

// The messages that reach one window of this thread, sent to it or taken from its queue (a
// chosen menu item is posted; a timer's tick is taken from the queue): (message, wParam).
inline std::vector<std::pair<UINT, WPARAM>> g_received;
inline HWND g_watched = nullptr;

inline LRESULT CALLBACK RecordSent(int code, WPARAM wParam, LPARAM lParam) {
    auto* msg = reinterpret_cast<CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && msg->hwnd == g_watched) g_received.emplace_back(msg->message, msg->wParam);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

inline LRESULT CALLBACK RecordTaken(int code, WPARAM wParam, LPARAM lParam) {
    auto* msg = reinterpret_cast<MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && msg->hwnd == g_watched)
        g_received.emplace_back(msg->message, msg->wParam);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class MessageRecorder {
public:
    explicit MessageRecorder(HWND target) {
        g_received.clear();
        g_watched = target;
        sent_ = SetWindowsHookExA(WH_CALLWNDPROC, RecordSent, nullptr, GetCurrentThreadId());
        taken_ = SetWindowsHookExA(WH_GETMESSAGE, RecordTaken, nullptr, GetCurrentThreadId());
    }
    ~MessageRecorder() {
        UnhookWindowsHookEx(sent_);
        UnhookWindowsHookEx(taken_);
        g_watched = nullptr;
    }
    // The wParams of this message, in order.
    static std::vector<WPARAM> Of(UINT message) {
        std::vector<WPARAM> out;
        for (const auto& m : g_received)
            if (m.first == message) out.push_back(m.second);
        return out;
    }
    // Ticks of the tray's timer that adds the icon again: one add each.
    static int TrayRetries() {
        std::vector<WPARAM> timers = Of(WM_TIMER);
        return static_cast<int>(std::count(timers.begin(), timers.end(), tray::kRetryTimerId));
    }

private:
    HHOOK sent_;
    HHOOK taken_;
};

// The main dialog created on the test thread with the pendant on the bus. Its tick timer is
// stopped: the tests post the status refreshes themselves.
class DriverDialogTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(Start(true));
        KillTimer(dlg.m_hWnd, TIMER_TICK);
    }
    // Connects through the refresh's own reconnect, which also unlocks.
    void Connect() {
        g_state.pendantReady = 0;
        Refresh();
        ASSERT_EQ(g_pendant.connected, 1);
    }
    LRESULT TrayNotify(WPARAM id, LPARAM mouse) { return Send(tray::WM_TRAY_NOTIFY, id, mouse); }
};

}  // namespace traytest
