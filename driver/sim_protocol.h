/* What the simulated device's driver and its user-mode service say to each
 * other on the control interface (C, shared by the driver and the service).
 *
 * The driver holds no fax logic. Every request a host issues on a channel
 * handle becomes a message the service takes with SIMCTL_NEXT; the service
 * answers a read, write or device-control request with SIMCTL_COMPLETE, and
 * until it does the host's request stays pending in the driver. Opening a
 * channel handle, its cleanup, and a host's cancel of a request reach the
 * service as messages that need no answer. The service keeps several
 * SIMCTL_NEXT requests pending, so each host request reaches it at once
 * (an inverted call).
 *
 * The first SIMCTL_ATTACH makes its handle the service's and enables the
 * channel interfaces: the device is present. When that handle is cleaned up
 * (the service stopped, or its process ended) or SIMCTL_DETACH is sent, every
 * request pending on a channel fails at once and the channel interfaces are
 * disabled: the device is gone. */
#ifndef TESSALINE_DRIVER_SIM_PROTOCOL_H
#define TESSALINE_DRIVER_SIM_PROTOCOL_H

/* The service's control interface. */
/* {20A147CE-2708-46D3-BED4-FC2E606C56FA} */
#define SIM_CONTROL_INTERFACE_INIT \
    { 0x20A147CE, 0x2708, 0x46D3, { 0xBE, 0xD4, 0xFC, 0x2E, 0x60, 0x6C, 0x56, 0xFA } }

/* The hardware identities of the three root-enumerated devices the .inf
 * installs: one per channel and one for the control interface. The driver
 * tells them apart by these. */
#define SIM_HWID_FAX "Root\\TessalineSimFax"
#define SIM_HWID_EWS "Root\\TessalineSimEws"
#define SIM_HWID_CONTROL "Root\\TessalineSimControl"

/* Control codes: FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS. */
#define SIM_CTL_CODE(function) ((0x22u << 16) | ((function) << 2))
#define SIMCTL_ATTACH SIM_CTL_CODE(0x900u)   /* no input, no output */
#define SIMCTL_DETACH SIM_CTL_CODE(0x901u)   /* no input, no output */
#define SIMCTL_NEXT SIM_CTL_CODE(0x902u)     /* output: SIM_MESSAGE and the request's input */
#define SIMCTL_COMPLETE SIM_CTL_CODE(0x903u) /* input: SIM_COMPLETION and the reply's data */
#define SIMCTL_FETCH SIM_CTL_CODE(0x904u)    /* input: SIM_FETCH; output: input bytes of a request */

/* Message kinds. Read, write and control are requests the service answers;
 * the others need no answer. */
#define SIM_MSG_READ 1u
#define SIM_MSG_WRITE 2u
#define SIM_MSG_CONTROL 3u
#define SIM_MSG_OPEN 4u      /* a host opened a handle on a channel */
#define SIM_MSG_CLEANUP 5u   /* a host's handle is cleaned up or closed: its requests are gone */
#define SIM_MSG_CANCELLED 6u /* a host cancelled request `request` before it was answered */

#define SIM_CHANNEL_FAX 0u
#define SIM_CHANNEL_EWS 1u

/* Fixed-size records; every field is a 32-bit or 64-bit integer, so the
 * layout is the same for 32-bit and 64-bit code on either side. */
typedef struct SIM_MESSAGE {
    unsigned int kind;
    unsigned int channel;
    unsigned long long file;    /* the host handle's identity, never reused */
    unsigned long long request; /* the request's identity; 0 for OPEN and CLEANUP */
    unsigned int code;          /* CONTROL: the control code */
    unsigned int in_length;     /* WRITE, CONTROL: bytes of input */
    unsigned int out_length;    /* READ, CONTROL: bytes the host can take */
    unsigned int included;      /* bytes of input that follow this record */
} SIM_MESSAGE;

typedef struct SIM_COMPLETION {
    unsigned long long request;
    unsigned int status;      /* an NTSTATUS */
    unsigned int information; /* WRITE: bytes taken; READ, CONTROL: ignored (the data's size counts) */
} SIM_COMPLETION;

typedef struct SIM_FETCH {
    unsigned long long request;
    unsigned int offset; /* first byte of the request's input to return */
    unsigned int reserved;
} SIM_FETCH;

#endif
