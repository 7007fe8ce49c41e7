// What tests read of the product that no operator, host or device can see in time: declared
// here only, so that the product's own headers offer none of it. Each has a reason:
// - the tray's last icon and tip: two of the icons share one image, and the shell shows a tip only
//   to a mouse resting on the icon, seconds a read;
// - whether the poller thread runs: an idle poller leaves no trace outside, and one left inside a
//   hung hook library call lives on after its stop;
// - the link's handles and its reader thread, which unit tests check against the fake bus.
#pragma once

#include <windows.h>

#include <string>

#include "pendant/pendant_device.h"

struct LinkPeek {
    static HANDLE FeatureHandle() { return CPendantDevice::featureHandle; }
    static HANDLE InputHandle() { return CPendantDevice::inputHandle; }
    static HANDLE ReaderThread() { return CPendantDevice::readerThread; }
    static DWORD ReaderThreadId() { return CPendantDevice::readerThreadId; }
    static int StopReader() { return CPendantDevice::stopReader; }
    // The feature handle lost alone, as a device that fails half its interfaces loses it.
    static void DropFeatureHandle() { CPendantDevice::ReleaseHandle(CPendantDevice::featureHandle); }
};

namespace tray {
UINT LastIconId();
std::string LastTip();
}  // namespace tray

namespace poller {
bool Running();
}  // namespace poller
