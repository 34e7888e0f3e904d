#include "platform/sim/wire_trace.h"

#include "scanner_model/usbpcap.h"

bool WireTrace::Start(std::FILE* file, DeviceLink* answering)
{
    m_file = file;
    m_answering = answering;
    m_requests = 0;
    std::uint8_t header[PCAP_FILE_HEADER_SIZE];
    EncodeTraceFileHeader(header);
    m_ok = std::fwrite(header, 1, sizeof header, m_file) == sizeof header;
    return m_ok;
}

void WireTrace::Record(const SimObject& device, std::uint8_t kind, const std::uint8_t* bytes, std::uint32_t size,
                       const DeviceAnswer& answer)
{
    if (m_file == nullptr || BusAddressOf(device) == 0) {
        return;  // nothing reaches a bus at address 0
    }
    TraceRequest request{};
    request.irpId = ++m_requests;
    request.timeUs = World().nowMs * 1000;
    request.device = BusAddressOf(device);
    request.kind = kind;
    request.size = size;
    request.out = bytes;
    request.status = answer.status;
    request.count = answer.count;
    request.in = bytes;
    request.vendorId = answer.vendorId;
    request.productId = answer.productId;
    std::uint8_t packets[TRACE_MAX_REQUEST_BYTES];
    const std::uint32_t used = EncodeTraceRequest(request, packets, sizeof packets);
    if (std::fwrite(packets, 1, used, m_file) != used) {
        m_ok = false;
    }
}

bool WireTrace::Attach(int path, SimObject* device)
{
    return m_answering->Attach(path, device);
}

DeviceAnswer WireTrace::Describe(const SimObject& device)
{
    const DeviceAnswer answer = m_answering->Describe(device);
    Record(device, TRACE_DESCRIPTOR, nullptr, 0, answer);
    return answer;
}

DeviceAnswer WireTrace::Write(const SimObject& device, const std::uint8_t* data, std::uint32_t size)
{
    const DeviceAnswer answer = m_answering->Write(device, data, size);
    Record(device, TRACE_WRITE, data, size, answer);
    return answer;
}

DeviceAnswer WireTrace::Read(const SimObject& device, std::uint8_t* data, std::uint32_t size)
{
    const DeviceAnswer answer = m_answering->Read(device, data, size);
    Record(device, TRACE_READ, data, size, answer);
    return answer;
}
