// The wire trace's records: pcap with link type USBPcap (249), the format
// USBPcap writes on a Windows PC, so that Wireshark reads our traces and a
// technician's capture alike. Every device request becomes two packets with
// the same IRP id: the submission (host to driver) and the completion
// (driver back to the host) with its status. Written without the C++
// run-time, like the scanner model, so that the kernel-mode test driver
// records the very same bytes as the simulated host.
#pragma once
#include <stdint.h>

// pcap's file header and each packet's record header.
constexpr uint32_t PCAP_MAGIC_MICROSECONDS = 0xA1B2C3D4u;
constexpr uint32_t PCAP_FILE_HEADER_SIZE = 24;
constexpr uint32_t PCAP_RECORD_HEADER_SIZE = 16;
constexpr uint32_t LINKTYPE_USBPCAP = 249;

// USBPcap's packet header (USBPCAP_BUFFER_PACKET_HEADER, packed, little-
// endian): headerLen u16, irpId u64, status u32, function u16, info u8,
// bus u16, device u16, endpoint u8, transfer u8, dataLength u32. A control
// transfer adds one stage byte.
constexpr uint32_t USBPCAP_HEADER_SIZE = 27;
constexpr uint32_t USBPCAP_CONTROL_HEADER_SIZE = 28;
constexpr uint8_t USBPCAP_INFO_COMPLETION = 1;  // PDO to FDO: on its way back
constexpr uint8_t USBPCAP_TRANSFER_CONTROL = 2;
constexpr uint8_t USBPCAP_TRANSFER_BULK = 3;
constexpr uint8_t USBPCAP_STAGE_SETUP = 0;
constexpr uint8_t USBPCAP_STAGE_COMPLETE = 3;
constexpr uint16_t URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr uint16_t URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
constexpr uint8_t TRACE_ENDPOINT_CONTROL_IN = 0x80;
constexpr uint8_t TRACE_ENDPOINT_BULK_OUT = 0x01;
constexpr uint8_t TRACE_ENDPOINT_BULK_IN = 0x81;
constexpr uint16_t TRACE_BUS = 1;

// How each outcome of a request shows as its completion's USBD status.
constexpr uint32_t USBD_STATUS_SUCCESS_VALUE = 0x00000000u;        // done; the count says how much moved
constexpr uint32_t USBD_STATUS_STALL_PID_VALUE = 0xC0000004u;      // the call failed (a stall): nothing moved
constexpr uint32_t USBD_STATUS_DEVICE_GONE_VALUE = 0xC0007000u;    // the handle's device has left the bus
constexpr uint32_t USBD_STATUS_NOT_SUPPORTED_VALUE = 0xC0000E00u;  // a bulk request to another maker's device
constexpr uint32_t USBD_STATUS_CANCELED_VALUE = 0xC0010000u;  // never answered: the host gave it up at its time-out

// Transfer data beyond this many bytes is not kept (the image write); the
// packet keeps its full length, as pcap's snap length does.
constexpr uint32_t TRACE_SNAP_DATA = 1024;
constexpr uint32_t TRACE_SNAP_LENGTH = USBPCAP_CONTROL_HEADER_SIZE + TRACE_SNAP_DATA;
// The most bytes one request's two packets take.
constexpr uint32_t TRACE_MAX_REQUEST_BYTES = 2 * (PCAP_RECORD_HEADER_SIZE + TRACE_SNAP_LENGTH) + 64;

// The GET_DESCRIPTOR(DEVICE) request's setup packet and the standard
// 18-byte device descriptor the still-image driver's descriptor is cut from.
constexpr uint32_t USB_SETUP_SIZE = 8;
constexpr uint32_t USB_DEVICE_DESCRIPTOR_SIZE = 18;

enum TraceRequestKind : uint8_t { TRACE_DESCRIPTOR = 0, TRACE_WRITE = 1, TRACE_READ = 2 };

// One device request as the trace records it.
struct TraceRequest {
    uint64_t irpId;      // the request's number in the run, from 1
    uint64_t timeUs;     // its time stamp, microseconds
    uint16_t device;     // TraceAddress() of the handle's device
    uint8_t kind;        // TraceRequestKind
    uint32_t size;       // bytes the host asked to move (0 for a descriptor)
    const uint8_t* out;  // write: the host's bytes
    uint32_t status;     // the completion's USBD status
    uint32_t count;      // bytes moved (descriptor: 18 on success)
    const uint8_t* in;   // read: the bytes that arrived (count of them)
    uint16_t vendorId;   // descriptor answer
    uint16_t productId;
};

// The device address of a device under path `path` (0..255). The scanner
// gets a new address each time it comes back on the bus: generation g
// (counted from 1, 0 for other makers' devices) adds 256 * (g - 1).
uint16_t TraceAddress(int32_t path, uint32_t generation);
int32_t TracePathOf(uint16_t address);

// The completion status for a transfer the device answered. A completion
// is always signalled and its outcome always ready on the scanner's
// synchronous handle: `signalled` and `resultOk` stay in the signature for
// the Wine driver's bridge and change nothing.
uint32_t TraceTransferStatus(bool callOk, bool signalled, bool resultOk);

// The 24-byte file header.
uint32_t EncodeTraceFileHeader(uint8_t* out);

// Both packets of one request. Returns the bytes written, 0 when `room` is
// smaller than TRACE_MAX_REQUEST_BYTES.
uint32_t EncodeTraceRequest(const TraceRequest& request, uint8_t* out, uint32_t room);
