// The stand-in NcStudio shows the driver exactly the windows, threads and version resources that
// the driver looks for, and answers its protocol as host_client.h expects.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host_client.h"
#include "support/test_util.h"

namespace {

std::string Title(HWND hwnd) {
    std::string title(GetWindowTextLengthA(hwnd) + 1, '\0');
    title.resize(GetWindowTextA(hwnd, &title[0], static_cast<int>(title.size())));
    return title;
}

using harness::ClassOf;

// The driver never takes a window of the dialog class for the host's main window.
bool IsDialog(HWND hwnd) { return ClassOf(hwnd).find("#32770") != std::string::npos; }

// (process, thread) that own the window.
std::pair<DWORD, DWORD> Owner(HWND hwnd) {
    DWORD pid = 0;
    DWORD tid = GetWindowThreadProcessId(hwnd, &pid);
    return {pid, tid};
}

class NcStudioStandin : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.Start(ExeDir() + "ncstudio-v8.exe")) << "error " << GetLastError();
    }

    // What the driver finds by title: an unowned top-level window, not a dialog, on the UI thread.
    void ExpectCandidate(HWND w, const std::string& title) {
        EXPECT_EQ(FindWindowA(nullptr, title.c_str()), w);
        EXPECT_EQ(Title(w), title);
        EXPECT_FALSE(IsDialog(w));
        EXPECT_EQ(GetParent(w), nullptr);
        EXPECT_EQ(Owner(w), std::make_pair(host.Pid(), host.UiThread()));
    }

    HostProcess host;
};

TEST_F(NcStudioStandin, MainAndNamedWindowsHaveExactTitlesOnTheUiThread) {
    ExpectCandidate(host.MainWindow(), "NcStudio - stand-in host");
    const std::pair<const char*, std::string> kinds[] = {
        {"jiggle", "jiggle"},
        {"bkref", "bkref: move to reference point"},
        {"BKREF", "  BKREF  "},
        {"workcoord", "Set current work coordinate:"},
        {"paramters", "paramters"},
        {"plain-ncstudio", "NcStudio"},
        {"titled C:\\Program Files\\NcStudio\\ncstudio.exe - job 1 ",
         "C:\\Program Files\\NcStudio\\ncstudio.exe - job 1 "},
        {"titled-repeat x 1000", std::string(1000, 'x')},
    };
    for (const auto& [kind, title] : kinds) {
        SCOPED_TRACE(kind);
        DWORD tid = 0;
        HWND w = host.Open("t", kind, &tid);
        ASSERT_NE(w, nullptr);
        ExpectCandidate(w, title);
        EXPECT_EQ(tid, host.UiThread());
        EXPECT_TRUE(host.Close("t"));
        EXPECT_FALSE(IsWindow(w));
    }
}

TEST_F(NcStudioStandin, DialogsAreOwnedByTheMainWindowAndHoldExactlyTheirButtons) {
    struct Dialog {
        const char* kind;
        const char* title;
        std::vector<int> buttons;
    };
    const Dialog dialogs[] = {
        {"msgbox yes,no,cancel", "NcStudio", {IDYES, IDNO, IDCANCEL}},
        {"msgbox yes,cancel", "NcStudio", {IDYES, IDCANCEL}},
        {"msgbox ok", "NcStudio", {IDOK}},
        {"msgbox yes", "NcStudio", {IDYES}},
        {"msgbox ok,cancel,yes,no", "NcStudio", {IDOK, IDCANCEL, IDYES, IDNO}},
        {"msgbox none", "NcStudio", {}},
        {"popup", "Tool table", {}},
    };
    for (const Dialog& d : dialogs) {
        SCOPED_TRACE(d.kind);
        HWND w = host.Open("d", d.kind);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(FindWindowA(nullptr, d.title), w);
        EXPECT_EQ(ClassOf(w), "#32770");
        EXPECT_EQ(GetParent(w), host.MainWindow());
        for (int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
            HWND item = GetDlgItem(w, id);
            EXPECT_EQ(item != nullptr, std::count(d.buttons.begin(), d.buttons.end(), id) == 1) << id;
            if (item) {
                EXPECT_EQ(ClassOf(item), "Button") << id;
            }
        }
        EXPECT_TRUE(host.Close("d"));
        EXPECT_FALSE(IsWindow(w));
    }
}

TEST_F(NcStudioStandin, NestedWindowsReportTheChainThatGetParentClimbs) {
    for (int depth : {1, 12}) {
        SCOPED_TRACE(depth);
        HWND deepest = host.Open("n", "nested " + std::to_string(depth));
        ASSERT_NE(deepest, nullptr);
        std::vector<HWND> climbed;
        for (HWND w = GetParent(deepest); w; w = GetParent(w)) climbed.push_back(w);
        EXPECT_EQ(climbed, host.LastAncestors());
        ASSERT_EQ(climbed.size(), static_cast<size_t>(depth));
        EXPECT_EQ(Title(climbed.back()), "NcStudio nested root");
        EXPECT_FALSE(IsDialog(climbed.back()));
        EXPECT_EQ(GetAncestor(deepest, GA_ROOT), climbed.back());
        EXPECT_TRUE(host.Close("n"));
        EXPECT_FALSE(IsWindow(climbed.back()));
        EXPECT_FALSE(IsWindow(deepest));
    }
}

TEST_F(NcStudioStandin, ThreadKindsLiveOnThreadsOfTheirOwnUntilClosed) {
    DWORD jiggleThread = 0, boxThread = 0, nestThread = 0;
    HWND jiggle = host.Open("tj", "thread jiggle", &jiggleThread);
    HWND box = host.Open("tm", "thread msgbox yes,no", &boxThread);
    HWND deep = host.Open("tn", "thread nested 3", &nestThread);
    ASSERT_TRUE(jiggle && box && deep);
    EXPECT_EQ(Title(jiggle), "jiggle");
    EXPECT_EQ(Owner(jiggle), std::make_pair(host.Pid(), jiggleThread));
    EXPECT_EQ(Owner(box).second, boxThread);
    EXPECT_EQ(Owner(deep).second, nestThread);
    ASSERT_EQ(host.LastAncestors().size(), 3u);
    EXPECT_EQ(Owner(host.LastAncestors().back()).second, nestThread) << "the whole chain";
    const DWORD threads[] = {host.UiThread(), jiggleThread, boxThread, nestThread};
    EXPECT_EQ(std::set<DWORD>(std::begin(threads), std::end(threads)).size(), 4u) << "one thread each";
    EXPECT_EQ(ClassOf(box), "#32770");
    EXPECT_NE(GetDlgItem(box, IDNO), nullptr);
    EXPECT_EQ(GetParent(box), host.MainWindow()) << "owned across threads";

    EXPECT_TRUE(host.Front("tj"));
    EXPECT_EQ(GetForegroundWindow(), jiggle) << "seen from this process too";

    for (const char* label : {"tj", "tm", "tn"}) EXPECT_TRUE(host.Close(label)) << label;
    EXPECT_FALSE(IsWindow(jiggle) || IsWindow(box) || IsWindow(deep));
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, jiggleThread);
    if (thread) {
        EXPECT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0) << "the window's thread ends";
        CloseHandle(thread);
    }
}

TEST_F(NcStudioStandin, FrontBringsTheRootForwardAndOpenLeavesTheForegroundAlone) {
    ASSERT_TRUE(host.Front("main"));
    HWND jiggle = host.Open("fj", "jiggle");
    HWND other = host.Open("fo", "thread msgbox ok");
    EXPECT_EQ(GetForegroundWindow(), host.MainWindow());
    EXPECT_TRUE(host.Front("fj"));
    EXPECT_EQ(GetForegroundWindow(), jiggle);
    EXPECT_TRUE(host.Front("fo"));
    EXPECT_EQ(GetForegroundWindow(), other);
    host.Close("fo");
    EXPECT_TRUE(host.Front("main"));
    EXPECT_EQ(GetForegroundWindow(), host.MainWindow());
    HWND deep = host.Open("fn", "nested 2");
    EXPECT_TRUE(host.Front("fn"));
    EXPECT_EQ(GetForegroundWindow(), GetAncestor(deep, GA_ROOT));
}

TEST_F(NcStudioStandin, MinimizesRetitlesAndRefusesBadCommands) {
    HWND main = host.MainWindow();
    EXPECT_EQ(host.Command("minimize main"), "ok 1");
    EXPECT_TRUE(IsIconic(main));
    EXPECT_EQ(host.Command("iconic main"), "ok 1");
    EXPECT_EQ(host.Command("restore main"), "ok 0");
    EXPECT_FALSE(IsIconic(main));
    EXPECT_EQ(host.Command("iconic main"), "ok 0");
    EXPECT_EQ(host.Command("title main NcStudio 8 - C:\\nc\\job.nc"), "ok");
    EXPECT_EQ(Title(main), "NcStudio 8 - C:\\nc\\job.nc");

    ASSERT_NE(host.Open("dup", "jiggle"), nullptr);
    for (const char* bad : {"bogus", "open x nosuchkind", "open x msgbox maybe", "close nosuchlabel",
                            "open main jiggle", "open dup jiggle"})
        EXPECT_EQ(host.Command(bad).rfind("error ", 0), 0u) << bad;
    EXPECT_EQ(host.Command("hello").rfind("ok ", 0), 0u) << "still answers";
}

TEST_F(NcStudioStandin, QuitAndEndOfInputEndTheHostWithExitCodeZero) {
    host.Quit();
    EXPECT_EQ(host.ExitCode(), 0u);
    EXPECT_EQ(FindWindowA(nullptr, "NcStudio - stand-in host"), nullptr);

    ASSERT_TRUE(host.Start(ExeDir() + "ncstudio-v8.exe"));
    ASSERT_NE(host.Open("w", "thread jiggle"), nullptr);
    host.CloseInput();
    EXPECT_EQ(WaitForSingleObject(host.Process(), 3000), WAIT_OBJECT_0);
    host.Quit();
    EXPECT_EQ(host.ExitCode(), 0u);
}

// The file version is 1.2 in every variant, so a driver that reads it instead of the product
// version gets the wrong major.
TEST_F(NcStudioStandin, EachVariantCarriesItsProductMajor) {
    const std::pair<const char*, int> variants[] = {
        {"ncstudio-v8.exe", 8}, {"ncstudio-v5.exe", 5}, {"ncstudio-v6.exe", 6}, {"ncstudio-nover.exe", 0}};
    for (const auto& [exe, major] : variants) {
        SCOPED_TRACE(exe);
        std::string path = ExeDir() + exe;
        DWORD ignored = 0;
        std::vector<char> data(GetFileVersionInfoSizeA(path.c_str(), &ignored));
        if (major == 0) {
            EXPECT_TRUE(data.empty()) << "no version resource";
            continue;
        }
        VS_FIXEDFILEINFO* info = nullptr;
        UINT len = 0;
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
        ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &len) && info);
        EXPECT_EQ(HIWORD(info->dwProductVersionMS), static_cast<DWORD>(major));
        EXPECT_EQ(info->dwFileVersionMS, static_cast<DWORD>(MAKELONG(2, 1)));
    }
}

}  // namespace
