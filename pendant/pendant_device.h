// The one connection to the pendant: discovery among the HID interfaces, the feature and input
// handles, and the reader thread that every open starts and every close stops.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "app/driver_state.h"
#include "base/kernel_lock.h"
#include "pendant/key_sink.h"

// What one discovery saw, for the log line of a discovery that found no pendant.
struct DiscoverySeen {
    DWORD listError = 0;  // non-zero: the HID interface list could not be had
    int interfaces = 0;   // listed
    int unopened = 0;     // could not be opened
    int withIds = 0;      // with the pendant's vendor and product ids
    int features = 0;     // taken as the feature interface
    int inputs = 0;       // taken as the input interface
    // The sizes of the last interface with the pendant's ids that was neither.
    int oddInput = -1;
    int oddFeature = -1;
};

class CPendantDevice {
public:
    CPendantDevice();
    virtual ~CPendantDevice();

    int Open(HWND owner);
    int EnsureOpen();
    void Close();
    // Sends a payload of 0..255 bytes as eight-byte feature reports with report id 6.
    int WriteFeature(const uint8_t* payload, uint8_t length);

    static void SetKeySink(KeySink* sink);
    static KeySink* Sink() { return keySink_; }

    // Takes the handle out of its field and closes it; whoever takes it closes it, exactly once.
    static void ReleaseHandle(Relaxed<HANDLE>& field);
    // Puts the device into the field and closes the handle it replaces.
    static void Take(Relaxed<HANDLE>& field, HANDLE device);

    Relaxed<int> connected{0};
    uint8_t featureCount = 0;
    GUID interfaceClass;

    static Relaxed<HANDLE> featureHandle;
    static Relaxed<HANDLE> inputHandle;
    static Relaxed<HANDLE> readerThread;
    static Relaxed<DWORD> readerThreadId;
    static Relaxed<int> stopReader;
    static Relaxed<HWND> ownerWindow;
    // The reader thread while it is handing a key event to the sink (a hook library call that may
    // hang), else 0.
    static Relaxed<DWORD> sinkThreadId;
    // Set once the driver is shutting down: EnsureOpen then opens nothing.
    Relaxed<int> holdClosed{0};

    // Upper bound on how long a close waits for a reader blocked in a read before it kills it.
    static constexpr DWORD kReaderStopBoundMs = 2000;
    // How long a close waits for a reader that is inside the key sink before leaving it behind.
    static constexpr DWORD kSinkWaitMs = 40;
    // How long a caller waits for the link lock; a feature report still pending after
    // kFeatureStuckMs (a device answers in about a millisecond) is cancelled meanwhile. Where the
    // cancel does not reach the device (Wine), the close goes ahead without the lock.
    static constexpr DWORD kLinkWaitMs = 500;
    static constexpr DWORD kFeatureStuckMs = 100;
    // What discovery asks of the input interface's report buffer: the HID class keeps 32 reports
    // by default and drops the rest while the reader is busy in the host.
    static constexpr ULONG kInputBuffers = 512;

    // Whether the calling thread is the reader that the link currently runs.
    static bool IsCurrentReader();

    // The log's view of the link: a connection is logged once, with both device paths, and its
    // end once, with the first reason seen. Closes that reopen at once (the start-up probe, a
    // status refresh) are no end.
    static void LogLinkLost(const std::string& reason);
    // Key reports read since the connection was made, for the line that logs its end.
    static Relaxed<uint32_t> reportsRead;
    // The error of the last feature report the device refused.
    Relaxed<DWORD> lastSendError{0};
    // Whether a device path names the pendant (its USB ids), as a removal notification's does.
    static bool NamesPendant(const char* devicePath);

private:
    int FindAndOpen();
    void CloseLocked();
    // Takes the link lock within kLinkWaitMs, cancelling the holder's device call meanwhile;
    // false when the holder is still stuck after that.
    bool AcquireLink();
    void Release();
    friend class LinkLock;
    friend class Held<CPendantDevice>;

    // Open, EnsureOpen, Close and feature sends never interleave between the UI and poller
    // threads. The reader thread never takes it.
    KernelMutex lock_;
    // The thread inside HidD_SetFeature, which a waiter for the lock may cancel.
    Relaxed<DWORD> featureCaller_{0};
    // For the log, under the link lock: the paths of the interfaces taken by the running
    // discovery, those of the connection last logged, and the last "not found" line.
    std::string featurePath_;
    std::string inputPath_;
    std::string loggedPaths_;
    std::string loggedNotFound_;
    void LogDiscovery(int result, const DiscoverySeen& seen);
    static Relaxed<int> linkLogged_;
    static Relaxed<KeySink*> keySink_;
};

// Holds the link lock for a scope, if it could be had in time.
class LinkLock : public Held<CPendantDevice> {
public:
    explicit LinkLock(CPendantDevice& device) : Held(device, device.AcquireLink()) {}
};

extern CPendantDevice g_pendant;

// The USB device interface class, the notification filter's class until a feature interface
// has been found.
extern const GUID kUsbDeviceInterfaceClass;
