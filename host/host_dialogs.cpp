// Which NcStudio dialog is open, told to the hook library as a mode code.
#include "host/host_dialogs.h"

#include "app/driver_state.h"
#include "host/hook_library.h"
#include "host/window_text.h"

namespace {

// Keeps the normal mode back for this many ticks after a dialog was seen.
constexpr int kHoldTicks = 5;

// The dialog titles looked for, each matched as FindWindow matches a title.
enum Title { kNcStudio, kJiggle, kReference, kReferenceShort, kWorkCoord, kParameters, kTitles };
const wchar_t* const kTitleText[kTitles] = {
    L"NcStudio", L"jiggle", L"bkref: move to reference point", L"  BKREF  ",
    L"Set current work coordinate:",
    L"paramters",  // spelled as NcStudio spells it
};

// For each title, the first top-level window in Z order that bears it, of any class and any
// process: one walk over the windows a tick instead of one per title (each walk asks the window
// server for every window's text).
struct TitledWindows {
    HWND found[kTitles] = {};
    HWND operator[](Title t) const { return found[t]; }
};

BOOL CALLBACK CollectTitled(HWND window, LPARAM param) {
    auto* titled = reinterpret_cast<TitledWindows*>(param);
    wchar_t text[64];
    // The text the window server holds, as FindWindow reads it: no message to a window that
    // may hang.
    if (InternalGetWindowText(window, text, 64) <= 0) return TRUE;
    for (int t = 0; t < kTitles; ++t)
        if (!titled->found[t] && lstrcmpiW(text, kTitleText[t]) == 0) titled->found[t] = window;
    return TRUE;
}

TitledWindows FindTitled() {
    TitledWindows titled;
    EnumWindows(CollectTitled, reinterpret_cast<LPARAM>(&titled));
    return titled;
}

}  // namespace

void HostDialogs::Detect(HWND attention, HWND* lastExamined) {
    using namespace hooklib;
    hold = 0;
    const TitledWindows titled = FindTitled();

    // NcStudio's message boxes are titled "NcStudio"; only a dialog of that title counts.
    HWND dialog = titled[kNcStudio];
    if (dialog && ReadClassName(dialog).find("#32770") != std::string::npos) {
        hold = kHoldTicks;
        // Classified once while it stays; it stands in the tracker's record of what it examined.
        if (dialog != *lastExamined) {
            *lastExamined = dialog;
            Classify(dialog);
        }
    }

    if (hold == 0) {
        if (HWND jiggle = titled[kJiggle]) {
            ReportMode(jiggle, PCS_JIGGLE);
            hold = kHoldTicks;
        }
    }

    if (hold == 0) {
        HWND reference = titled[kReference];
        if (!reference) reference = titled[kReferenceShort];
        if (reference) {
            ReportMode(reference, PCS_REFERENCE);
            hold = kHoldTicks;
        } else if (HWND workCoord = titled[kWorkCoord]) {
            hold = kHoldTicks;
            ReportMode(workCoord, PCS_OKCANCEL);
        }
    }

    if (hold == 0) {
        if (HWND parameters = titled[kParameters]) {
            hold = kHoldTicks;
            ReportMode(parameters, PCS_PARAMETERS);
        }
    }

    if (hold == 0 && Classify(attention)) hold = kHoldTicks;

    if (hold != 0)
        --hold;
    else
        ReportMode(g_state.hostWindow, PCS_NORMAL);
}

bool HostDialogs::Classify(HWND dialog) {
    // No comes first: a box with No is a question even when it also has Cancel.
    static const struct {
        int controlId;
        int code;
    } kButtons[] = {
        {IDNO, hooklib::PCS_YESNO},
        {IDCANCEL, hooklib::PCS_OKCANCEL},
        {IDYES, hooklib::PCS_YESNO},
        {IDOK, hooklib::PCS_OKCANCEL},
    };
    for (const auto& button : kButtons) {
        if (GetDlgItem(dialog, button.controlId)) {
            ReportMode(dialog, button.code);
            return true;
        }
    }
    return false;
}

void HostDialogs::HostInFront(HWND hostWindow) {
    if (hold != 0)
        --hold;
    else
        ReportMode(hostWindow, hooklib::PCS_NORMAL);
}

void HostDialogs::ReportMode(HWND window, int code) {
    if (hooklib::SetPcState(window, code)) g_state.modeByte = hooklib::ModeByteFor(code);
}

void HostDialogs::Reset() {
    hold = 0;
    g_state.modeByte = 0;
}
