// The one connection to the pendant: discovery among the HID interfaces, the feature and input
// handles, and the reader thread that every open starts and every close stops.
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/driver_state.h"
#include "pendant/kernel_lock.h"

// Where the link hands what it reads. The pendant link knows nothing of hosts; the main dialog
// connects this to the key forwarder.
class KeySink {
public:
    virtual ~KeySink() = default;
    virtual void OnKeyEvent(uint32_t messageType, uint32_t keyCodeWord) = 0;
    // The link was lost (a failed read, or a close once the reader has stopped).
    virtual void OnLinkLost() = 0;
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

    Relaxed<int> connected{0};
    uint8_t featureCount = 0;
    GUID interfaceClass;

    static Relaxed<HANDLE> featureHandle;
    static Relaxed<HANDLE> inputHandle;
    static Relaxed<HANDLE> readerThread;
    static Relaxed<DWORD> readerThreadId;
    static Relaxed<int> stopReader;
    static Relaxed<HWND> ownerWindow;

    // Upper bound on how long a close waits for the reader before it kills it.
    static constexpr DWORD kReaderStopBoundMs = 2000;

private:
    int FindAndOpen();
    void CloseLocked();

    // Open, EnsureOpen, Close and feature sends never interleave between the UI and poller
    // threads. The reader thread never takes it.
    KernelMutex lock_;
    static KeySink* keySink_;
};

extern CPendantDevice g_pendant;

// The USB device interface class, the notification filter's class until a feature interface
// has been found.
extern const GUID kUsbDeviceInterfaceClass;
