// Which NcStudio dialog is open, told to the hook library as a mode code.
#include "host/host_dialogs.h"

#include "app/driver_state.h"
#include "host/hook_library.h"
#include "host/window_text.h"

namespace {

// Keeps the normal mode back for this many ticks after a dialog was seen.
constexpr int kHoldTicks = 5;

// The top-level window with exactly this title, of any class and any process.
HWND Titled(const char* title) { return FindWindowA(nullptr, title); }

}  // namespace

void HostDialogs::Detect(HWND attention, HWND* lastExamined) {
    using namespace hooklib;
    hold = 0;

    // NcStudio's message boxes are titled "NcStudio"; only a dialog of that title counts.
    HWND dialog = Titled("NcStudio");
    if (dialog && ReadClassName(dialog).find("#32770") != std::string::npos) {
        hold = kHoldTicks;
        // Classified once while it stays; it stands in the tracker's record of what it examined.
        if (dialog != *lastExamined) {
            *lastExamined = dialog;
            Classify(dialog);
        }
    }

    if (hold == 0) {
        if (HWND jiggle = Titled("jiggle")) {
            ReportMode(jiggle, PCS_JIGGLE);
            hold = kHoldTicks;
        }
    }

    if (hold == 0) {
        HWND reference = Titled("bkref: move to reference point");
        if (!reference) reference = Titled("  BKREF  ");
        if (reference) {
            ReportMode(reference, PCS_REFERENCE);
            hold = kHoldTicks;
        } else if (HWND workCoord = Titled("Set current work coordinate:")) {
            hold = kHoldTicks;
            ReportMode(workCoord, PCS_OKCANCEL);
        }
    }

    if (hold == 0) {
        // Spelled as NcStudio spells it.
        if (HWND parameters = Titled("paramters")) {
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
