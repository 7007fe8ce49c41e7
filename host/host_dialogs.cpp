// Which NcStudio dialog is open, told to the hook library as a mode code.
#include "app/driver_state.h"
#include "host/hook_library.h"
#include "host/host_tracker.h"

namespace {

// Keeps the normal mode back for this many ticks after a dialog was seen.
constexpr int kHoldTicks = 5;

// The top-level window with exactly this title, of any class and any process.
HWND Titled(const char* title) { return FindWindowA(nullptr, title); }

}  // namespace

void HostTracker::DetectDialogs(HWND attention) {
    using namespace hooklib;
    dialogHold = 0;

    // NcStudio's message boxes are titled "NcStudio"; only a dialog of that title counts.
    HWND dialog = Titled("NcStudio");
    if (dialog && ReadClassName(dialog).find("#32770") != std::string::npos) {
        dialogHold = kHoldTicks;
        ClassifyIfNew(dialog);
    }

    if (dialogHold == 0) {
        if (HWND jiggle = Titled("jiggle")) {
            SetPcState(jiggle, PCS_JIGGLE);
            dialogHold = kHoldTicks;
        }
    }

    if (dialogHold == 0) {
        HWND reference = Titled("bkref: move to reference point");
        if (!reference) reference = Titled("  BKREF  ");
        if (reference) {
            SetPcState(reference, PCS_REFERENCE);
            dialogHold = kHoldTicks;
        } else if (HWND workCoord = Titled("Set current work coordinate:")) {
            dialogHold = kHoldTicks;
            SetPcState(workCoord, PCS_OKCANCEL);
        }
    }

    if (dialogHold == 0) {
        // Spelled as NcStudio spells it.
        if (HWND parameters = Titled("paramters")) {
            dialogHold = kHoldTicks;
            SetPcState(parameters, PCS_PARAMETERS);
        }
    }

    if (dialogHold == 0 && ClassifyDialog(attention)) dialogHold = kHoldTicks;

    if (dialogHold != 0)
        --dialogHold;
    else
        SetPcState(g_state.hostWindow, PCS_NORMAL);
}

bool HostTracker::ClassifyIfNew(HWND dialog) {
    if (dialog == lastExamined) return false;
    lastExamined = dialog;
    return ClassifyDialog(dialog);
}

bool HostTracker::ClassifyDialog(HWND dialog) {
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
            hooklib::SetPcState(dialog, button.code);
            return true;
        }
    }
    return false;
}
