// Checks that the stand-in host shows the driver exactly the windows, threads and version
// resources it looks for. Usage: ncstudio-host-selftest <v8.exe> [<v5.exe> <v6.exe> <nover.exe>]

#include "host_client.h"

#include <tlhelp32.h>
#include <winver.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

std::string Title(HWND hwnd) {
    std::vector<char> buf(2048);
    int n = GetWindowTextA(hwnd, buf.data(), static_cast<int>(buf.size()));
    return std::string(buf.data(), n > 0 ? n : 0);
}

std::string ClassOf(HWND hwnd) {
    char buf[256] = {};
    GetClassNameA(hwnd, buf, sizeof buf);
    return buf;
}

DWORD ThreadOf(HWND hwnd, DWORD* pid = nullptr) {
    DWORD p = 0;
    DWORD t = GetWindowThreadProcessId(hwnd, &p);
    if (pid) *pid = p;
    return t;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// A top-level window of the host that the driver would find by its title, owned by the given thread.
void CheckTitledWindow(HostProcess& host, const std::string& kind, const std::string& title) {
    DWORD tid = 0;
    HWND w = host.Open("t", kind, &tid);
    Check(w != nullptr, kind + ": opens");
    Check(FindWindowA(nullptr, title.c_str()) == w, kind + ": FindWindowA finds it by its exact title");
    Check(Title(w) == title, kind + ": title is exact");
    Check(ClassOf(w).find("#32770") == std::string::npos, kind + ": not of the dialog class");
    Check(GetParent(w) == nullptr, kind + ": unowned top-level window");
    DWORD pid = 0;
    Check(ThreadOf(w, &pid) == tid && tid == host.UiThread() && pid == host.Pid(), kind + ": on the UI thread");
    Check(host.Close("t") && !IsWindow(w), kind + ": closes");
}

void CheckMessageBox(HostProcess& host, const std::string& buttons, const std::vector<int>& present) {
    std::string name = "msgbox " + buttons;
    HWND w = host.Open("m", name);
    Check(w != nullptr, name + ": opens");
    Check(FindWindowA(nullptr, "NcStudio") == w, name + ": FindWindowA(\"NcStudio\") finds it");
    Check(ClassOf(w) == "#32770", name + ": dialog class");
    Check(GetParent(w) == host.MainWindow(), name + ": owned by the main window");
    for (int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
        bool want = std::find(present.begin(), present.end(), id) != present.end();
        HWND item = GetDlgItem(w, id);
        Check((item != nullptr) == want, name + ": control id " + std::to_string(id) + (want ? " present" : " absent"));
        if (item) Check(ClassOf(item) == "Button", name + ": control is a button");
    }
    Check(host.Close("m") && !IsWindow(w), name + ": closes");
}

void CheckWindows(HostProcess& host) {
    HWND main = host.MainWindow();
    Check(IsWindow(main), "main window exists");
    Check(Title(main) == "NcStudio - stand-in host", "main window title");
    std::string mainTitle = Lower(Title(main));
    Check(mainTitle.find("ncstudio") != std::string::npos && mainTitle.find('\\') == std::string::npos,
          "main window title is a driver candidate");
    Check(ClassOf(main).find("#32770") == std::string::npos, "main window is not a dialog");
    DWORD pid = 0;
    Check(ThreadOf(main, &pid) == host.UiThread() && pid == host.Pid(), "main window on the UI thread");
    Check(GetParent(main) == nullptr, "main window is top-level");

    CheckTitledWindow(host, "jiggle", "jiggle");
    CheckTitledWindow(host, "bkref", "bkref: move to reference point");
    CheckTitledWindow(host, "BKREF", "  BKREF  ");
    CheckTitledWindow(host, "workcoord", "Set current work coordinate:");
    CheckTitledWindow(host, "paramters", "paramters");
    CheckTitledWindow(host, "plain-ncstudio", "NcStudio");
    CheckTitledWindow(host, "titled C:\\Program Files\\NcStudio\\ncstudio.exe - job 1 ",
                      "C:\\Program Files\\NcStudio\\ncstudio.exe - job 1 ");

    CheckMessageBox(host, "yes,no,cancel", {IDYES, IDNO, IDCANCEL});
    CheckMessageBox(host, "yes,cancel", {IDYES, IDCANCEL});
    CheckMessageBox(host, "ok", {IDOK});
    CheckMessageBox(host, "yes", {IDYES});
    CheckMessageBox(host, "ok,cancel,yes,no", {IDOK, IDCANCEL, IDYES, IDNO});
    CheckMessageBox(host, "none", {});

    HWND popup = host.Open("p", "popup");
    Check(popup && Title(popup) == "Tool table" && ClassOf(popup) == "#32770", "popup: titled dialog");
    Check(GetParent(popup) == main, "popup: GetParent yields the main window");
    Check(host.Close("p"), "popup: closes");

    HWND longTitle = host.Open("l", "titled-repeat x 1000");
    Check(GetWindowTextLengthA(longTitle) == 1000, "titled-repeat: 1000 characters");
    char cut[100] = {};
    Check(GetWindowTextA(longTitle, cut, sizeof cut) == 99, "titled-repeat: a 100-character buffer sees 99");
    Check(host.Close("l"), "titled-repeat: closes");
}

void CheckNested(HostProcess& host, int depth) {
    std::string name = "nested " + std::to_string(depth);
    HWND deepest = host.Open("n", name);
    std::vector<HWND> reported = host.LastAncestors();
    Check(deepest != nullptr, name + ": opens");
    Check(static_cast<int>(reported.size()) == depth, name + ": reports every ancestor");
    HWND w = deepest;
    int steps = 0;
    bool matches = true;
    while (HWND parent = GetParent(w)) {
        if (steps >= static_cast<int>(reported.size()) || reported[steps] != parent) matches = false;
        w = parent;
        ++steps;
    }
    Check(steps == depth && matches, name + ": GetParent climb matches the reported chain");
    Check(Title(w) == "NcStudio nested root" && ClassOf(w).find("#32770") == std::string::npos,
          name + ": root is the candidate window");
    Check(GetAncestor(deepest, GA_ROOT) == w, name + ": root is the top-level ancestor");
    Check(host.Close("n") && !IsWindow(w) && !IsWindow(deepest), name + ": closes with its children");
}

void CheckThreads(HostProcess& host) {
    DWORD tid = 0, pid = 0;
    HWND jiggle = host.Open("tj", "thread jiggle", &tid);
    Check(jiggle && Title(jiggle) == "jiggle", "thread jiggle: opens");
    Check(tid != 0 && tid != host.UiThread(), "thread jiggle: on another thread");
    Check(ThreadOf(jiggle, &pid) == tid && pid == host.Pid(), "thread jiggle: reported thread owns it");

    DWORD boxThread = 0;
    HWND box = host.Open("tm", "thread msgbox yes,no", &boxThread);
    Check(box && ClassOf(box) == "#32770" && GetDlgItem(box, IDNO) && GetDlgItem(box, IDYES),
          "thread msgbox: dialog with its buttons");
    Check(boxThread != tid && boxThread != host.UiThread() && ThreadOf(box) == boxThread,
          "thread msgbox: a thread of its own");
    Check(GetParent(box) == host.MainWindow(), "thread msgbox: owned by the main window");

    DWORD nestThread = 0;
    HWND deep = host.Open("tn", "thread nested 3", &nestThread);
    Check(deep && host.LastAncestors().size() == 3 && ThreadOf(deep) == nestThread &&
              ThreadOf(host.LastAncestors().back()) == nestThread,
          "thread nested: whole chain on the new thread");

    Check(host.Front("tj"), "front on a window of another thread makes it the foreground");
    Check(GetForegroundWindow() == jiggle, "front: seen from this process too");

    Check(host.Close("tj") && !IsWindow(jiggle), "thread jiggle: closes");
    Check(host.Close("tm") && !IsWindow(box), "thread msgbox: closes");
    Check(host.Close("tn") && !IsWindow(deep), "thread nested: closes");
    HANDLE th = OpenThread(SYNCHRONIZE, FALSE, tid);
    Check(!th || WaitForSingleObject(th, 2000) == WAIT_OBJECT_0, "thread jiggle: its thread has ended");
    if (th) CloseHandle(th);
}

void CheckFrontAndShow(HostProcess& host) {
    Check(host.Front("main"), "front main before opening");
    HWND jiggle = host.Open("fj", "jiggle");
    HWND other = host.Open("fo", "thread msgbox ok");
    Check(GetForegroundWindow() == host.MainWindow(), "open leaves the foreground window alone");
    Check(host.Front("fj") && GetForegroundWindow() == jiggle, "front jiggle");
    Check(host.Front("fo") && GetForegroundWindow() == other, "front a dialog of another thread");
    host.Close("fo");
    Check(host.Front("main") && GetForegroundWindow() == host.MainWindow(), "front main");
    HWND deep = host.Open("fn", "nested 2");
    Check(host.Front("fn") && GetForegroundWindow() == GetAncestor(deep, GA_ROOT), "front nested brings its root");
    host.Close("fj");
    host.Close("fn");

    Check(host.Command("minimize main") == "ok 1" && IsIconic(host.MainWindow()), "minimize main");
    Check(host.Command("iconic main") == "ok 1", "iconic main while minimised");
    Check(host.Command("restore main") == "ok 0" && !IsIconic(host.MainWindow()), "restore main");
    Check(host.Command("iconic main") == "ok 0", "iconic main after restore");

    Check(host.Command("title main NcStudio 8 - C:\\nc\\job.nc") == "ok" &&
              Title(host.MainWindow()) == "NcStudio 8 - C:\\nc\\job.nc",
          "title main");
    host.Command("title main NcStudio - stand-in host");
}

void CheckErrors(HostProcess& host) {
    auto isError = [](const std::string& r) { return r.rfind("error ", 0) == 0; };
    Check(isError(host.Command("bogus")), "unknown command is an error");
    Check(isError(host.Command("open x nosuchkind")), "unknown kind is an error");
    Check(isError(host.Command("open x msgbox maybe")), "unknown button is an error");
    Check(isError(host.Command("close nosuchlabel")), "unknown label is an error");
    Check(isError(host.Command("open main jiggle")), "label main is reserved");
    host.Open("dup", "jiggle");
    Check(isError(host.Command("open dup jiggle")), "a label is used once");
    host.Close("dup");
    Check(host.Command("hello").rfind("ok ", 0) == 0, "host still answers after errors");
}

// The driver finds the host by its executable name in a process snapshot and its path in a
// module snapshot.
void CheckProcessIdentity(HostProcess& host) {
    std::string exeName;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL more = Process32First(snap, &pe); more; more = Process32Next(snap, &pe))
        if (pe.th32ProcessID == host.Pid()) exeName = pe.szExeFile;
    CloseHandle(snap);
    Check(Lower(exeName).find("ncstudio") != std::string::npos, "process name contains ncstudio: " + exeName);

    bool ownsUi = false;
    snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te = {};
    te.dwSize = sizeof te;
    for (BOOL more = Thread32First(snap, &te); more; more = Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == host.Pid() && te.th32ThreadID == host.UiThread()) ownsUi = true;
    CloseHandle(snap);
    Check(ownsUi, "thread snapshot lists the UI thread under the host");

    bool moduleFound = false;
    snap = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, host.Pid());
    MODULEENTRY32 me = {};
    me.dwSize = sizeof me;
    if (snap != INVALID_HANDLE_VALUE) {
        for (BOOL more = Module32First(snap, &me); more; more = Module32Next(snap, &me))
            if (!exeName.empty() && std::string(me.szExePath).find(exeName) != std::string::npos) moduleFound = true;
        CloseHandle(snap);
    }
    Check(moduleFound, "module snapshot holds the executable's full path");
}

// Returns the product major version, 0 without a version resource, -1 on a read failure.
int ProductMajor(const std::string& path, DWORD* fileMS) {
    std::string native = HostProcess::NativePath(path);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(native.c_str(), &handle);
    if (size == 0) return 0;
    std::vector<char> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!GetFileVersionInfoA(native.c_str(), 0, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &len) || !info)
        return -1;
    *fileMS = info->dwFileVersionMS;
    return HIWORD(info->dwProductVersionMS);
}

void CheckVersion(const std::string& path, int expectedMajor) {
    DWORD fileMS = 0;
    int major = ProductMajor(path, &fileMS);
    std::string name = path.substr(path.find_last_of("/\\") + 1);
    Check(Lower(name).find("ncstudio") != std::string::npos, name + ": file name contains ncstudio");
    Check(major == expectedMajor, name + ": product major " + std::to_string(expectedMajor) + " (got " +
                                      std::to_string(major) + ")");
    if (expectedMajor > 0)
        Check(HIWORD(fileMS) != static_cast<DWORD>(expectedMajor) && fileMS == MAKELONG(2, 1),
              name + ": file version 1.2 differs from the product version");
}

void CheckEndOfInput(const std::string& exe) {
    HostProcess host;
    Check(host.Start(exe), "second host starts");
    host.Open("w", "thread jiggle");
    host.CloseInput();
    Check(WaitForSingleObject(host.Process(), 3000) == WAIT_OBJECT_0, "end of input ends the host");
    host.Quit();
    Check(host.ExitCode() == 0, "host exits with 0 at end of input");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: %s <ncstudio-v8.exe> [<v5.exe> <v6.exe> <nover.exe>]\n", argv[0]);
        return 2;
    }
    const std::string v8 = argv[1];
    {
        HostProcess host;
        bool started = host.Start(v8);
        Check(started, "host starts and answers hello");
        if (started) {
            CheckWindows(host);
            CheckNested(host, 1);
            CheckNested(host, 12);
            CheckThreads(host);
            CheckFrontAndShow(host);
            CheckErrors(host);
            CheckProcessIdentity(host);
            host.Quit();
            Check(host.ExitCode() == 0, "quit ends the host with exit code 0 (got " + std::to_string(host.ExitCode()) + ")");
            Check(!FindWindowA(nullptr, "NcStudio - stand-in host"), "no host window left after quit");
        }
    }
    CheckEndOfInput(v8);

    CheckVersion(v8, 8);
    if (argc >= 5) {
        CheckVersion(argv[2], 5);
        CheckVersion(argv[3], 6);
        CheckVersion(argv[4], 0);
    }
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
