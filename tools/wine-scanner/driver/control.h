/* The private side of the simulated scanner driver: a control device that
   the harness's helper program asks what the scanner received. Shared by
   the driver (C) and the helper (C++). */
#ifndef WINE_SCANNER_CONTROL_H
#define WINE_SCANNER_CONTROL_H

#include <stdint.h>

#define FWU_SIM_CONTROL_DEVICE L"\\Device\\FwuSimControl"
#define FWU_SIM_CONTROL_LINK L"\\DosDevices\\FwuSimControl"
#define FWU_SIM_CONTROL_PATH "\\\\.\\FwuSimControl"

/* CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + n, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define FWU_SIM_IOCTL_STATE 0x00222400u    /* out: FwuSimDriverState */
#define FWU_SIM_IOCTL_SNAPSHOT 0x00222404u /* out: the ScannerModel as it is now */
/* in: uint32_t offset; out: the wire trace's bytes from there on (pcap,
   USBPcap), as many as fit; an empty answer at its end */
#define FWU_SIM_IOCTL_TRACE 0x00222408u

typedef struct FwuSimDriverState {
    uint64_t nowMs;        /* the scanner's time */
    int32_t started;       /* a device was opened: the scanner's time runs */
    int32_t publishedPath; /* number of the scanner's link, -1 while off the bus */
    int32_t configOk;      /* every configuration value was well formed */
    uint32_t foreignCount; /* other still-image devices published */
    uint32_t modelSize;    /* bytes of the model snapshot */
    uint32_t heldRequests; /* requests the scanner left unanswered, still pending */
} FwuSimDriverState;

#endif
