// The one connection to the pendant: discovery among the HID interfaces, the feature and input
// handles, the reader thread that every open starts and every close stops, and the link thread
// that owns all of it.
//
// The link has one owner, the link thread. It alone discovers, opens and closes, one request at a
// time, so two closes never overlap and a close never meets a discovery. Every other thread asks
// (Ask) and is told the outcome by a message; the UI thread and the poller never wait for it. The
// reader only reads: a failed read is reported to the link thread, which releases the handles.
// The poller writes display frames while it holds the link lock; the link thread takes that lock
// before it replaces or releases the feature handle, so a frame that finds the lock taken is
// busy, stays due and goes out at the next cycle.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
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

// What the link thread is asked to do. The outcome of each goes to the reply window.
enum class LinkRequest : int {
    kProbe,       // start-up: is the pendant there? Found or not, it is let go again
    kOpen,        // the operator unlocks: open unless open
    kReopen,      // the status refresh: close if connected, then open
    kClose,       // the operator locks
    kEnsureOpen,  // the display writer found no handle: open when both are gone
    kBroken,      // the reader's read failed: both handles go, the link stays "connected"
    kSendFailed,  // the pendant refused a display frame: close if connected
    kSuspend,     // the PC goes to sleep: close, and open nothing until kResume
    kResume,
    kShutdown,    // the driver ends: close, and open nothing again
    kReset,       // back to a fresh process's link (tests: one process, many drivers)
};

enum class LinkOutcome : int {
    kNotFound = 0,
    kConnected = 1,
    kClosed,      // a close or a release ran
    kHeldClosed,  // asked to open while suspended or shut down: nothing was tried
};

// What became of a payload handed to the writer.
enum class FeatureSend {
    kSent,     // every report accepted (or nothing to send)
    kBusy,     // the link thread is changing the link: try again later; no fault
    kNoLink,   // no feature handle: the link thread has been asked to open one
    kRefused,  // the pendant refused a report; the rest of the payload was not sent
};

class CPendantDevice {
public:
    CPendantDevice();
    // Leaves the link as it is: the process's end releases it, and the link thread that would
    // close it is gone by then.
    virtual ~CPendantDevice() = default;

    // Asks the link thread (started on first use) to do something; returns at once. A request
    // already waiting is not queued twice.
    void Ask(LinkRequest request);
    // Where outcomes go: PostMessage(window, message, request, outcome). Null for none.
    void ReplyTo(HWND window, UINT message);
    // Asks and waits for the outcome: for callers that may wait (tests, the benchmark).
    LinkOutcome AskAndWait(LinkRequest request);
    int Open(HWND owner);
    int EnsureOpen() { return AskAndWait(LinkRequest::kEnsureOpen) == LinkOutcome::kConnected ? 1 : 0; }
    void Close() { AskAndWait(LinkRequest::kClose); }
    // Nothing asked and nothing running: waits up to timeoutMs for that.
    bool WaitIdle(DWORD timeoutMs);

    // Sends a payload of 0..255 bytes as eight-byte feature reports with report id 6. Never opens
    // or closes: with no feature handle it asks the link thread and says so. A refusal's error
    // goes to *refusal.
    FeatureSend WriteFeature(const uint8_t* payload, uint8_t length, DWORD* refusal = nullptr);

    // The driver state's pendantReady changes only here: the status refresh's reconnection sets
    // it, a failed read or send clears it, and so does this, for a device change or a wake that
    // may have taken the pendant away.
    void DoubtLink();

    static void SetKeySink(KeySink* sink);
    static KeySink* Sink() { return keySink_; }

    Relaxed<int> connected{0};
    // Connections made since the process began.
    uint32_t Connections() const { return connections_; }
    uint8_t featureCount = 0;
    GUID interfaceClass;

    // The window given to the last open, handed to the reader as its start argument.
    static Relaxed<HWND> ownerWindow;

    // How long a close keeps cancelling a reader blocked in a read before it ends it. A reader
    // inside the key sink is never ended: the close waits for it to come back.
    static constexpr DWORD kReaderStopBoundMs = 2000;
    // How long the writer tries for the link lock before it calls the frame busy.
    static constexpr DWORD kWriterWaitMs = 20;
    // A feature report still pending after this (a device answers in about a millisecond) is
    // cancelled while the link thread waits for the lock.
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
    // Whether a device path names the pendant (its USB ids), as a removal notification's does.
    static bool NamesPendant(const char* devicePath);

private:
    // Tests read the handles and the reader through it (tests/support/product_peek.h).
    friend struct LinkPeek;
    // Marks the reader as inside the key sink for a scope (pendant_device.cpp).
    class InSink;

    static Relaxed<HANDLE> featureHandle;
    static Relaxed<HANDLE> inputHandle;
    static Relaxed<HANDLE> readerThread;
    static Relaxed<DWORD> readerThreadId;
    static Relaxed<int> stopReader;
    // The reader thread while it is inside the key sink (a hook library call that may hang), else 0.
    static Relaxed<DWORD> sinkThreadId;
    // The reader whose read failed; the link thread releases the handles while it is current.
    static Relaxed<DWORD> brokenReader;

    // Takes the handle out of its field and closes it; whoever takes it closes it, exactly once.
    static void ReleaseHandle(Relaxed<HANDLE>& field);
    // Puts the device into the field and closes the handle it replaces.
    static void PutHandle(Relaxed<HANDLE>& field, HANDLE device);

    // The link thread's side. Only it runs these.
    static DWORD WINAPI LinkThreadProc(LPVOID self);
    // The reader's side: reads one report and hands it over (1), or says the read failed or
    // there is no input handle (0); and the loop around it.
    static int ReadKeyReport();
    // The sink's release of a key the host holds, made as the reader.
    static void ReleaseHeldBy(KeySink* sink);
    static DWORD WINAPI ReaderThreadProc(LPVOID ownerWindow);
    // Queues a request unless the same one waits already; its ticket either way.
    uint64_t Enqueue(LinkRequest request);
    void RunRequests();
    LinkOutcome Run(LinkRequest request);
    int FindAndOpen(bool startReader);
    void CloseLocked();
    void StopReader();
    // Takes the link lock for the link thread: waits as long as a write takes, cancelling one
    // that the device does not complete.
    void AcquireForOwner();
    void Release();
    friend class ScopedHold<CPendantDevice>;

    // Held by the link thread while it changes the feature handle and by the writer while it
    // writes on it. The reader thread never takes it.
    KernelMutex lock_;
    Relaxed<uint32_t> connections_{0};
    // The thread inside HidD_SetFeature, which the link thread may cancel.
    Relaxed<DWORD> featureCaller_{0};

    // The request queue and its bookkeeping, under queueLock_.
    KernelMutex queueLock_;
    HANDLE wake_ = nullptr;
    HANDLE done_ = nullptr;
    HANDLE linkThread_ = nullptr;
    std::deque<std::pair<LinkRequest, uint64_t>> queue_;
    uint64_t asked_ = 0;
    Relaxed<uint64_t> finished_{0};
    bool running_ = false;
    LinkOutcome lastOutcome_[64] = {};
    HWND replyWindow_ = nullptr;
    UINT replyMessage_ = 0;
    // On the link thread only: opens are refused while suspended or after a shutdown.
    bool suspended_ = false;
    bool shutDown_ = false;
    // The end has been asked for (under queueLock_), perhaps not yet reached.
    bool endAsked_ = false;

    // For the log, on the link thread: the paths of the interfaces taken by the running
    // discovery, those of the connection last logged, and the last "not found" line.
    std::string featurePath_;
    std::string inputPath_;
    std::string loggedPaths_;
    std::string loggedNotFound_;
    void LogDiscovery(int result, const DiscoverySeen& seen);
    static Relaxed<int> linkLogged_;
    static Relaxed<KeySink*> keySink_;
};

extern CPendantDevice g_pendant;

// The USB device interface class, the notification filter's class until a feature interface
// has been found.
extern const GUID kUsbDeviceInterfaceClass;
