// The one walk over the HID interfaces and the one rule that tells the pendant's two interfaces
// apart, for the link (which keeps what it finds) and the diagnosis (which lists what the link
// would pick). Every call goes through the HID seam.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "pendant/hid_api.h"

// What an interface is to the pendant.
enum class PendantRole {
    kNone,       // another device's, or one whose ids or report sizes cannot be read
    kFeature,    // the pendant's display: 8-byte feature reports
    kInput,      // the pendant's keys: 6-byte input reports
    kOddSizes,   // the pendant's ids, but report sizes of neither
};

// One interface as the walk saw it. The device handle is open (with the access the walk was
// asked for) when opened is true.
struct HidInterface {
    std::string path;             // empty when its detail could not be read
    GUID interfaceClass{};
    bool opened = false;
    DWORD openError = 0;
    bool named = false;           // attributes read
    USHORT vendorId = 0;
    USHORT productId = 0;
    bool sized = false;           // capabilities read
    USHORT inputLength = 0;
    USHORT featureLength = 0;
    PendantRole role = PendantRole::kNone;
    HANDLE device = INVALID_HANDLE_VALUE;
};

// What the visitor does with an opened interface.
enum class Keep {
    kClose,        // the walk closes the handle
    kKeep,         // the visitor took the handle
    kKeepAndStop,  // took it, and the walk ends here
};

// Walks every present HID interface in order; false (with the error) when the list cannot be
// had. The visitor sees every interface, opened or not; a handle it does not keep is closed.
bool WalkHidInterfaces(DWORD access, const std::function<Keep(HidInterface&)>& visit, DWORD* listError);

// The rule, in one place: the display's interface may declare key-sized input reports too, so
// the feature report is looked at first.
PendantRole RoleOf(const HidInterface& seen);
