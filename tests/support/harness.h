// Drives the driver from outside, as an operator, a pendant and NcStudio would: the driver as its
// own process, the test HID device as the pendant, the stand-in hook library's records, the
// desktop's input. One library for the end-to-end tests, the soak, the demo and the benchmark.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hravik_shared.h"
#include "host_client.h"
#include "tools/testhid/testhid_client.h"

// Pumps this thread's messages until the condition holds or the time runs out; a window of ours
// then never stalls whoever broadcasts to it.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);
void PumpFor(DWORD ms);

// The folder of the running program, with a trailing backslash.
std::string ExeDir();

namespace harness {

// Messages and ids the driver answers to, as the shell or an operator would send them.
constexpr UINT kTrayNotify = WM_USER + 116;
constexpr WPARAM kTrayIconId = 128;
constexpr UINT kLockCommand = 32771;
constexpr UINT kExitCommand = 32773;
constexpr UINT kAboutCommand = 32774;
constexpr char kDriverTitle[] = "QEVR-1.4";
// Tray menu items, top to bottom.
enum MenuItem { kMenuLock = 0, kMenuExit = 1, kMenuAbout = 2, kMenuItemCount = 3 };

// QueryPerformanceCounter in milliseconds: one clock for every process, the test device included.
double QpcToMs(LONGLONG qpc);
double NowMs();

// A top-level window of the process with this title (any, when null) and class (any, when null);
// visible ones only when a class is asked for.
HWND FindWindowOf(DWORD pid, const char* title, const char* cls = nullptr, HDESK desktop = nullptr);
// A window's text, of any process, without waiting on its thread for ever: GetWindowText sends
// WM_GETTEXT to a window of another thread of this process, which may be the one waiting for us,
// and reads only the caption the system keeps for another process's window.
std::string TextOf(HWND hwnd, DWORD timeoutMs = 500);
// A window's class name.
std::string ClassOf(HWND hwnd);

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();
    // With a token, the process runs as that token says (CreateProcessAsUser); with a desktop
    // ("station\\desktop"), on that desktop; with an output path, its standard output goes there.
    bool Start(const std::string& commandLine, const char* currentDir = nullptr, HANDLE token = nullptr,
               const char* desktop = nullptr, const char* outputPath = nullptr);
    // Exit code, or STILL_ACTIVE when it has not ended within the time.
    DWORD Wait(DWORD timeoutMs);
    bool Running() { return pi_.hProcess && Wait(0) == STILL_ACTIVE; }
    void Kill();
    DWORD Pid() const { return pi_.dwProcessId; }
    HANDLE Handle() const { return pi_.hProcess; }

private:
    PROCESS_INFORMATION pi_{};
};

// veltra.exe (or a copy of it) as its own process, in its own folder: it loads the hook library
// from there. It inherits our HRAVIK_SHM, so its library records into our block.
class DriverProcess : public ChildProcess {
public:
    ~DriverProcess();
    bool Start(const std::string& exe);
    // The hidden main dialog, once it exists.
    HWND Window() const { return FindWindowOf(Pid(), kDriverTitle); }
    bool WaitWindow(DWORD timeoutMs);
    // Answers a message within the time: the UI thread is not hung.
    bool Answers();
    // The exit command, as the tray menu gives it; true when the process has ended in time.
    bool Exit(DWORD timeoutMs = 5000);
};

// Input through the system's queue, as a keyboard and a mouse give it: Ctrl+F11; the pointer
// moved; a click (the pointer moved there first).
bool SendHotKey();
bool MoveMouseTo(POINT p);
bool Click(POINT p, bool right = false);

// How a menu choice reached the driver.
enum class MenuRoute { kClicked, kPostedCommand, kFailed };

// Opens the tray menu as the shell would on a right click and picks an item with the mouse.
// Falls back to posting the item's command when no menu shows or the click has no effect; the
// reason goes to *note.
MenuRoute ChooseTrayMenuItem(DWORD driverPid, HWND driverWindow, MenuItem item, UINT command,
                             std::string* note);

// The records of a block still there, from index `since` on; of one export, or all when negative.
std::vector<HravikRecord> RecordsSince(const HravikShared* block, LONG since, int exportId = -1);
// (message type, key code word) of each KeyBoardProc call from index `since` on.
std::vector<std::pair<uint32_t, uint32_t>> KeyCallsSince(const HravikShared* block, LONG since);

// The hook library's call records, read from the shared block the driver's library writes.
class HookRecords {
public:
    HookRecords() = default;
    HookRecords(const HookRecords&) = delete;
    HookRecords& operator=(const HookRecords&) = delete;
    ~HookRecords();
    bool Attach();
    HravikShared* Block() const { return block_; }
    LONG Mark() const { return block_->count; }
    LONG Calls(int exportId) const { return block_->callCount[exportId]; }
    std::vector<HravikRecord> Since(LONG since, int exportId = -1) const {
        return RecordsSince(block_, since, exportId);
    }
    bool WaitCalls(int exportId, LONG atLeast, DWORD timeoutMs) const;
    // (message type, key code word) of each KeyBoardProc call since the mark.
    std::vector<std::pair<uint32_t, uint32_t>> KeyCalls(LONG since) const { return KeyCallsSince(block_, since); }

private:
    HravikShared* block_ = nullptr;
    HANDLE mapping_ = nullptr;
};

// The pendant as the test HID device plays it, with the key reports and display frames the driver
// deals in. Each instance starts and ends with nothing plugged and normal behaviour.
class Pendant {
public:
    Pendant();
    ~Pendant();
    Pendant(const Pendant&) = delete;
    Pendant& operator=(const Pendant&) = delete;

    bool Plug() { return bus_.PlugPendant(); }
    bool Unplug() { return bus_.UnplugPendant(); }
    // A device shaped like the pendant with ids of its own.
    bool PlugForeign() { return bus_.Plug(testhid::Bus::kForeign, 2); }
    bool UnplugForeign() { return bus_.Unplug(testhid::Bus::kForeign, 2); }

    bool Key(uint8_t b2, uint8_t b3 = 0, uint8_t b4 = 0) { return bus_.FeedKey(b2, b3, b4); }
    bool Release() { return bus_.FeedKey(0, 0, 0); }

    // The feature log's position; frames after it are new.
    uint32_t Mark() { return bus_.LastSequence(); }
    // The eight bytes of every report the pendant accepted on its feature interface since the mark.
    std::vector<testhid::LogEntry> Frames(uint32_t since);
    // Waits for an accepted display frame with this status byte after the mark; its entry, if any.
    bool WaitFrame(uint8_t status, uint32_t since, DWORD timeoutMs, testhid::LogEntry* entry = nullptr);

    testhid::Bus& Bus() { return bus_; }

private:
    testhid::Bus bus_;
};

// Presses and releases a key until its press reaches KeyBoardProc: the driver holds the pendant
// and is unlocked. The probe's calls stay in the records; take a mark after it.
constexpr uint32_t kProbeKey = 0x7E;
bool KeyPathOpen(Pendant& pendant, const HookRecords& hooks, DWORD timeoutMs);

// veltra.exe, the pendant and the stand-in NcStudio as one running set, watched through the hook
// library's records: what the end-to-end tests and the soak both drive.
class DriverSession {
public:
    DriverSession();
    ~DriverSession();
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    // The driver (veltra.exe of this folder unless named), its window up.
    bool StartDriver(const std::string& exe = std::string());
    // The pendant plugged and the driver holding it and forwarding keys.
    bool StartConnected(const std::string& exe = std::string());
    // The stand-in NcStudio 8.x started and in front, hooked and taken up, the key map on.
    bool StartHostInFront();
    // A key pressed and released; true when the press reached KeyBoardProc in time.
    bool KeyReaches(uint8_t code, DWORD timeoutMs = 3000);
    // Keys reach the host again (a probe, as KeyPathOpen).
    bool Forwarding(DWORD timeoutMs = 8000) { return KeyPathOpen(pendant, hooks, timeoutMs); }
    // A key pressed and held; the record mark from before its key-down, which has arrived.
    LONG HoldKey();
    // Closes a message box the driver shows (a refused unlock), so none blocks the next step.
    void DismissBoxes();

    HookRecords hooks;
    Pendant pendant;
    DriverProcess driver;
    HostProcess host;
};

// Handles the process holds, from the system's handle table (Wine reports none through
// GetProcessHandleCount); -1 when it cannot be read. With `types`, how many of each object type
// (type number:count), to tell which kind a leak is.
long ProcessHandleCount(DWORD pid, std::string* types = nullptr);

}  // namespace harness
