// The wire trace's packet encoder. No run-time library: byte loops only, so
// that the kernel-mode test driver links it as it links the scanner model.
#include "scanner_model/usbpcap.h"

#include "platform/byte_order.h"

namespace {

struct PacketShape {
    uint8_t info;
    uint8_t endpoint;
    uint8_t transfer;
    uint16_t function;
    uint32_t status;
    uint32_t dataLength;      // what the packet says moves with it
    const uint8_t* captured;  // the bytes kept of it
    uint32_t capturedLength;
    int stage;  // control transfers only; -1 for bulk
};

uint32_t Smaller(uint32_t left, uint32_t right)
{
    return left < right ? left : right;
}

uint32_t PutPacket(const TraceRequest& request, const PacketShape& shape, uint8_t* out)
{
    const uint32_t headerLength = shape.stage >= 0 ? USBPCAP_CONTROL_HEADER_SIZE : USBPCAP_HEADER_SIZE;
    const uint32_t kept = Smaller(shape.capturedLength, TRACE_SNAP_DATA);
    PutLe32(out, (uint32_t)(request.timeUs / 1000000u));
    PutLe32(out + 4, (uint32_t)(request.timeUs % 1000000u));
    PutLe32(out + 8, headerLength + kept);
    PutLe32(out + 12, headerLength + shape.dataLength);
    uint8_t* header = out + PCAP_RECORD_HEADER_SIZE;
    PutLe16(header, (uint16_t)headerLength);
    PutLe64(header + 2, request.irpId);
    PutLe32(header + 10, shape.status);
    PutLe16(header + 14, shape.function);
    header[16] = shape.info;
    PutLe16(header + 17, TRACE_BUS);
    PutLe16(header + 19, request.device);
    header[21] = shape.endpoint;
    header[22] = shape.transfer;
    PutLe32(header + 23, shape.dataLength);
    if (shape.stage >= 0) {
        header[27] = (uint8_t)shape.stage;
    }
    uint8_t* data = header + headerLength;
    for (uint32_t i = 0; i < kept; ++i) {
        data[i] = shape.captured[i];
    }
    return PCAP_RECORD_HEADER_SIZE + headerLength + kept;
}

// GET_DESCRIPTOR(DEVICE, 18 bytes): Wireshark decodes the answer with its
// own USB dissector.
uint32_t EncodeDescriptorRequest(const TraceRequest& request, uint8_t* out)
{
    const uint8_t setup[USB_SETUP_SIZE] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, USB_DEVICE_DESCRIPTOR_SIZE, 0x00};
    uint8_t descriptor[USB_DEVICE_DESCRIPTOR_SIZE] = {USB_DEVICE_DESCRIPTOR_SIZE,
                                                      0x01,
                                                      0x00,
                                                      0x02,
                                                      0x00,
                                                      0x00,
                                                      0x00,
                                                      0x40,
                                                      0,
                                                      0,
                                                      0,
                                                      0,
                                                      0x00,
                                                      0x01,
                                                      0x00,
                                                      0x00,
                                                      0x00,
                                                      0x01};
    PutLe16(descriptor + 8, request.vendorId);
    PutLe16(descriptor + 10, request.productId);
    const bool answered = request.status == USBD_STATUS_SUCCESS_VALUE;
    const PacketShape submit = {0,
                                TRACE_ENDPOINT_CONTROL_IN,
                                USBPCAP_TRANSFER_CONTROL,
                                URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                0,
                                USB_SETUP_SIZE,
                                setup,
                                USB_SETUP_SIZE,
                                USBPCAP_STAGE_SETUP};
    const PacketShape complete = {USBPCAP_INFO_COMPLETION,
                                  TRACE_ENDPOINT_CONTROL_IN,
                                  USBPCAP_TRANSFER_CONTROL,
                                  URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                  request.status,
                                  answered ? USB_DEVICE_DESCRIPTOR_SIZE : 0,
                                  descriptor,
                                  answered ? USB_DEVICE_DESCRIPTOR_SIZE : 0,
                                  USBPCAP_STAGE_COMPLETE};
    uint32_t used = PutPacket(request, submit, out);
    used += PutPacket(request, complete, out + used);
    return used;
}

// A write's submission carries its bytes and its completion the count that
// moved; a read's submission carries the size of the buffer offered and its
// completion the bytes that arrived. A length with no bytes kept is marked
// as cut, as pcap marks any packet beyond its snap length.
uint32_t EncodeBulkRequest(const TraceRequest& request, uint8_t* out)
{
    const bool write = request.kind == TRACE_WRITE;
    const uint8_t endpoint = write ? TRACE_ENDPOINT_BULK_OUT : TRACE_ENDPOINT_BULK_IN;
    const PacketShape submit = {0, endpoint,     USBPCAP_TRANSFER_BULK,         URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                                0, request.size, write ? request.out : nullptr, write ? request.size : 0,
                                -1};
    const PacketShape complete = {USBPCAP_INFO_COMPLETION,
                                  endpoint,
                                  USBPCAP_TRANSFER_BULK,
                                  URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                                  request.status,
                                  request.count,
                                  write ? nullptr : request.in,
                                  write ? 0 : request.count,
                                  -1};
    uint32_t used = PutPacket(request, submit, out);
    used += PutPacket(request, complete, out + used);
    return used;
}

}  // namespace

uint16_t TraceAddress(int32_t path, uint32_t generation)
{
    const uint32_t later = generation > 1 ? generation - 1 : 0;
    return (uint16_t)((uint32_t)path + 1 + 256 * later);
}

int32_t TracePathOf(uint16_t address)
{
    return address == 0 ? -1 : (int32_t)((address - 1) % 256);
}

uint32_t TraceTransferStatus(bool callOk, bool /*signalled*/, bool /*resultOk*/)
{
    return callOk ? USBD_STATUS_SUCCESS_VALUE : USBD_STATUS_STALL_PID_VALUE;
}

uint32_t EncodeTraceFileHeader(uint8_t* out)
{
    PutLe32(out, PCAP_MAGIC_MICROSECONDS);
    PutLe16(out + 4, 2);
    PutLe16(out + 6, 4);
    PutLe32(out + 8, 0);   // time stamps are UTC
    PutLe32(out + 12, 0);  // their accuracy
    PutLe32(out + 16, TRACE_SNAP_LENGTH);
    PutLe32(out + 20, LINKTYPE_USBPCAP);
    return PCAP_FILE_HEADER_SIZE;
}

uint32_t EncodeTraceRequest(const TraceRequest& request, uint8_t* out, uint32_t room)
{
    if (room < TRACE_MAX_REQUEST_BYTES) {
        return 0;
    }
    if (request.kind == TRACE_DESCRIPTOR) {
        return EncodeDescriptorRequest(request, out);
    }
    return EncodeBulkRequest(request, out);
}
