#include "platform/sim/wire_trace.h"

#include "platform/sim/objects.h"
#include "platform/sim/world.h"
#include "scanner_model/usbpcap.h"

WireTrace* g_wireTrace = nullptr;

namespace {

// The device address of the device a handle was opened on; 0 when the
// handle is no device handle at all (nothing reaches a bus then).
std::uint16_t AddressOf(Handle device)
{
    SimObject* object = LookUpSimObject(device);
    if (object == nullptr || object->kind != SimObjectKind::Device || !object->open) {
        return 0;
    }
    return TraceAddress(object->path, object->scanner ? object->generation : 0);
}

}  // namespace

bool WireTrace::Open(const std::string& fileName)
{
    m_file = std::fopen(fileName.c_str(), "wb");
    if (m_file == nullptr) {
        return false;
    }
    std::uint8_t header[PCAP_FILE_HEADER_SIZE];
    EncodeTraceFileHeader(header);
    m_ok = std::fwrite(header, 1, sizeof header, m_file) == sizeof header;
    m_requests = 0;
    return m_ok;
}

bool WireTrace::Close()
{
    if (m_file == nullptr) {
        return m_ok;
    }
    if (std::fclose(m_file) != 0) {
        m_ok = false;
    }
    m_file = nullptr;
    return m_ok;
}

void WireTrace::Record(std::uint16_t address, std::uint8_t kind, const std::uint8_t* out, std::uint32_t size,
                       std::uint32_t status, std::uint32_t count, const std::uint8_t* in, std::uint16_t vendorId,
                       std::uint16_t productId)
{
    if (m_file == nullptr || address == 0) {
        return;
    }
    TraceRequest request{};
    request.irpId = ++m_requests;
    request.timeUs = World().nowMs * 1000;
    request.device = address;
    request.kind = kind;
    request.size = size;
    request.out = out;
    request.status = status;
    request.count = count;
    request.in = in;
    request.vendorId = vendorId;
    request.productId = productId;
    std::uint8_t packets[TRACE_MAX_REQUEST_BYTES];
    const std::uint32_t used = EncodeTraceRequest(request, packets, sizeof packets);
    if (std::fwrite(packets, 1, used, m_file) != used) {
        m_ok = false;
    }
}

void WireTrace::Descriptor(Handle device, bool answered, bool gone, const DeviceDescriptor* descriptor)
{
    const std::uint32_t status = answered ? USBD_STATUS_SUCCESS_VALUE
                                 : gone   ? USBD_STATUS_DEVICE_GONE_VALUE
                                          : USBD_STATUS_STALL_PID_VALUE;
    Record(AddressOf(device), TRACE_DESCRIPTOR, nullptr, 0, status, answered ? USB_DEVICE_DESCRIPTOR_SIZE : 0, nullptr,
           answered ? descriptor->usVendorId : 0, answered ? descriptor->usProductId : 0);
}

void WireTrace::Transfer(Handle device, bool write, const void* data, std::uint32_t size,
                         const ScannerTransfer* transfer)
{
    const std::uint8_t kind = write ? TRACE_WRITE : TRACE_READ;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (transfer == nullptr) {
        SimObject* object = LookUpSimObject(device);
        const std::uint32_t status =
            object != nullptr && object->scanner ? USBD_STATUS_DEVICE_GONE_VALUE : USBD_STATUS_NOT_SUPPORTED_VALUE;
        Record(AddressOf(device), kind, bytes, size, status, 0, nullptr, 0, 0);
        return;
    }
    const std::uint32_t status = TraceTransferStatus(transfer->callOk, transfer->signalled, transfer->resultOk);
    const std::uint32_t count = transfer->callOk ? transfer->count : 0;
    Record(AddressOf(device), kind, bytes, size, status, count, bytes, 0, 0);
}
