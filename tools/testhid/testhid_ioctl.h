/* The control device of the test HID driver: names, I/O control codes and the structures they
 * carry. Shared by the kernel driver (C) and by 32-bit and 64-bit user programs (C++): every
 * structure has one layout in both, checked below. */
#ifndef VELTRA_TESTHID_IOCTL_H
#define VELTRA_TESTHID_IOCTL_H

#include <stdint.h>

#define TESTHID_CONTROL_NAME L"\\Device\\VeltraTestHid"
#define TESTHID_CONTROL_LINK L"\\??\\VeltraTestHid"
#define TESTHID_CONTROL_PATH "\\\\.\\VeltraTestHid"

/* The service and image, the hardware id every node of ours carries, and the INF that matches it. */
#define TESTHID_SERVICE "veltra_testhid"
#define TESTHID_HARDWARE_ID "root\\veltra_testhid"
#define TESTHID_INF "veltra_testhid.inf"
#define TESTHID_SYS "veltra_testhid.sys"

/* Raised whenever a structure or a code changes meaning. */
#define TESTHID_PROTOCOL 1

/* METHOD_BUFFERED, FILE_ANY_ACCESS, device type FILE_DEVICE_UNKNOWN. */
#define TESTHID_IOCTL(n) ((0x22u << 16) | ((0x800u + (n)) << 2))
#define TESTHID_IOCTL_FEED TESTHID_IOCTL(0)          /* in: testhid_feed + reports; out: testhid_feed_result */
#define TESTHID_IOCTL_READ_LOG TESTHID_IOCTL(1)      /* in: testhid_log_query; out: testhid_log_header + entries */
#define TESTHID_IOCTL_SET_BEHAVIOUR TESTHID_IOCTL(2) /* in: testhid_behaviour */
#define TESTHID_IOCTL_RESET TESTHID_IOCTL(3)         /* no buffers */
#define TESTHID_IOCTL_STATUS TESTHID_IOCTL(4)        /* out: testhid_status */

#define TESTHID_MAX_REPORT 64u
#define TESTHID_MAX_FEED 256u     /* reports in one feed request */
#define TESTHID_QUEUE_LENGTH 16u  /* fed reports a device keeps while no read is pending */
#define TESTHID_LOG_LENGTH 4096u  /* entries the feature log keeps */
#define TESTHID_MAX_DEVICES 16u   /* devices a status reports */

/* A device node: vendor and product as its attributes report them, the interface number (MI_xx)
 * and the instance (the last part of the instance id, ROOT\VID_xxxx&PID_xxxx&MI_xx\NNNN). */
typedef struct testhid_device_id {
    uint16_t vendor;
    uint16_t product;
    uint8_t interface_no;
    uint8_t instance;
    uint16_t reserved;
} testhid_device_id;

typedef struct testhid_feed {
    testhid_device_id device;
    uint32_t count;         /* reports that follow, 1..TESTHID_MAX_FEED */
    uint32_t report_length; /* bytes of each, 1..TESTHID_MAX_REPORT, report id included */
} testhid_feed;

typedef struct testhid_feed_result {
    uint32_t taken;   /* handed to a pending read or queued; the rest found the queue full */
    uint32_t dropped; /* of those taken, discarded because reads are held */
} testhid_feed_result;

typedef struct testhid_log_query {
    uint32_t since; /* entries with a greater sequence number are returned */
    uint32_t reserved;
} testhid_log_query;

typedef struct testhid_log_header {
    uint32_t next_sequence; /* the number the next entry will get */
    uint32_t count;         /* entries that follow */
    uint32_t lost;          /* entries after `since` the log no longer holds */
    uint32_t reserved;
} testhid_log_header;

enum testhid_log_kind { TESTHID_SET_FEATURE = 1, TESTHID_WRITE_REPORT = 2, TESTHID_SET_OUTPUT = 3 };
enum testhid_outcome { TESTHID_ACCEPTED = 1, TESTHID_REFUSED = 2, TESTHID_HELD = 3 };

typedef struct testhid_log_entry {
    int64_t qpc;       /* QueryPerformanceCounter when the report reached the driver */
    uint32_t sequence; /* from 1, never reused while the driver is loaded */
    testhid_device_id device;
    uint8_t kind;    /* testhid_log_kind */
    uint8_t outcome; /* testhid_outcome */
    uint8_t length;  /* bytes received, report id included */
    uint8_t reserved;
    uint8_t data[8]; /* the first eight of them */
} testhid_log_entry;

/* Feature reports: the next refuse_count are refused, then REFUSE_ALL refuses every one,
 * HOLD_FEATURES leaves them pending until it is switched off (then they fail) or the device goes.
 * HOLD_READS leaves reads pending and drops what is fed meanwhile. */
#define TESTHID_REFUSE_ALL 0x1u
#define TESTHID_HOLD_FEATURES 0x2u
#define TESTHID_HOLD_READS 0x4u

typedef struct testhid_behaviour {
    uint32_t refuse_count;
    uint32_t flags;
} testhid_behaviour;

#define TESTHID_STARTED 0x1u
#define TESTHID_REMOVED 0x2u
#define TESTHID_READ_PENDING 0x4u

typedef struct testhid_status_device {
    testhid_device_id device;
    uint32_t state; /* TESTHID_STARTED | TESTHID_REMOVED | TESTHID_READ_PENDING */
    uint32_t queued;
    uint32_t held_features;
    uint32_t reserved;
} testhid_status_device;

typedef struct testhid_status {
    uint32_t protocol; /* TESTHID_PROTOCOL */
    uint32_t build_id; /* of the loaded image: a stale image shows here */
    testhid_behaviour behaviour;
    uint32_t fed;       /* reports taken since the last reset */
    uint32_t delivered; /* of those, completed to a read */
    uint32_t dropped;
    uint32_t device_count; /* valid entries of devices */
    testhid_status_device devices[TESTHID_MAX_DEVICES];
} testhid_status;

#ifdef __cplusplus
#define TESTHID_ASSERT(e) static_assert(e, #e)
#else
#define TESTHID_ASSERT(e) _Static_assert(e, #e)
#endif
TESTHID_ASSERT(sizeof(testhid_device_id) == 8);
TESTHID_ASSERT(sizeof(testhid_feed) == 16);
TESTHID_ASSERT(sizeof(testhid_log_header) == 16);
TESTHID_ASSERT(sizeof(testhid_log_entry) == 32);
TESTHID_ASSERT(sizeof(testhid_status_device) == 24);
TESTHID_ASSERT(sizeof(testhid_status) == 32 + 24 * TESTHID_MAX_DEVICES);
#undef TESTHID_ASSERT

#endif
