// Reading a wire trace for its replay. The file is whatever the user gave:
// every packet is checked before anything is taken from it, and the first
// one that is not what a USBPcap capture holds is refused by its number.
#include <cinttypes>
#include <cstdio>
#include <unordered_map>

#include "platform/byte_order.h"
#include "platform/sim/wire_replay.h"
#include "scanner_model/usbpcap.h"

namespace {

// Time stamps beyond a day are a PC's clock, not a run's virtual time.
constexpr std::uint64_t REAL_CLOCK_MS = 86400000;
constexpr std::uint64_t REAL_CLOCK_SLACK_MS = 400;
constexpr std::uint32_t MICROSECONDS_PER_SECOND = 1000000;
constexpr std::size_t ADDRESSES = 65536;

// One packet's record and USBPcap header, as far as the replay needs them.
struct CapturedPacket {
    std::uint32_t number = 0;  // its place in the file, from 1
    std::uint64_t timeMs = 0;
    std::uint64_t irp = 0;
    std::uint32_t status = 0;
    std::uint16_t function = 0;
    bool completion = false;
    std::uint16_t address = 0;
    std::uint8_t endpoint = 0;
    std::uint32_t dataLength = 0;  // what the packet says it carries
    const std::uint8_t* data = nullptr;
    std::size_t kept = 0;  // how much of that the capture kept
};

// A submission waiting for its completion.
struct Submitted {
    std::size_t request;
    std::uint32_t packet;
};

bool Refuse(std::uint32_t packet, const char* what, std::string* error)
{
    *error = "packet " + std::to_string(packet) + ": " + what;
    return false;
}

bool ReadPacket(const std::vector<std::uint8_t>& bytes, std::size_t* at, CapturedPacket* packet, std::string* error)
{
    const std::size_t left = bytes.size() - *at;
    if (left < PCAP_RECORD_HEADER_SIZE) {
        return Refuse(packet->number, "cut off inside its record header", error);
    }
    const std::uint8_t* record = bytes.data() + *at;
    const std::uint32_t microseconds = GetLe32(record + 4);
    const std::uint32_t captured = GetLe32(record + 8);
    if (captured > left - PCAP_RECORD_HEADER_SIZE) {
        return Refuse(packet->number, "cut off: it claims more bytes than the file has left", error);
    }
    if (microseconds >= MICROSECONDS_PER_SECOND) {
        return Refuse(packet->number, "its time stamp's microseconds are a second or more", error);
    }
    if (captured < USBPCAP_HEADER_SIZE) {
        return Refuse(packet->number, "shorter than the 27-byte USBPcap header", error);
    }
    const std::uint8_t* header = record + PCAP_RECORD_HEADER_SIZE;
    const std::uint32_t headerLength = GetLe16(header);
    if (headerLength < USBPCAP_HEADER_SIZE || headerLength > captured) {
        return Refuse(packet->number, "its USBPcap header length is under 27 or past the captured bytes", error);
    }
    *at += PCAP_RECORD_HEADER_SIZE + captured;
    packet->timeMs = static_cast<std::uint64_t>(GetLe32(record)) * 1000 + microseconds / 1000;
    packet->irp = GetLe64(header + 2);
    packet->status = GetLe32(header + 10);
    packet->function = static_cast<std::uint16_t>(GetLe16(header + 14));
    packet->completion = (header[16] & USBPCAP_INFO_COMPLETION) != 0;
    packet->address = static_cast<std::uint16_t>(GetLe16(header + 19));
    packet->endpoint = header[21];
    packet->dataLength = GetLe32(header + 23);
    packet->data = header + headerLength;
    packet->kept = std::min<std::size_t>(captured - headerLength, packet->dataLength);
    return true;
}

// Only the requests the updater makes: bulk transfers and the device
// descriptor request. Anything else a capture holds is the stack's own
// business and is passed over.
bool KindOf(const CapturedPacket& packet, std::uint8_t* kind)
{
    if (packet.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        *kind = (packet.endpoint & 0x80) ? TRACE_READ : TRACE_WRITE;
        return true;
    }
    if (packet.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        *kind = TRACE_DESCRIPTOR;
        return true;
    }
    return false;
}

// Statuses that earlier traces of ours recorded for faults no PC shows: a
// call on the scanner's synchronous handle returns only once its request
// is complete, so its event is always set and its outcome always ready.
constexpr std::uint32_t RETIRED_PENDING = 0x40000000u;  // USBD_STATUS_PENDING: "never signalled"
constexpr std::uint32_t RETIRED_TIMEOUT = 0xC0006000u;  // USBD_STATUS_TIMEOUT: "outcome fails"

// Why a completion's status cannot be played back, or null when it can;
// any status but these would need a meaning the device calls do not have.
const char* UnplayableStatus(std::uint32_t status)
{
    switch (status) {
    case USBD_STATUS_SUCCESS_VALUE:
    case USBD_STATUS_STALL_PID_VALUE:
    case USBD_STATUS_DEVICE_GONE_VALUE:
    case USBD_STATUS_NOT_SUPPORTED_VALUE:
    case USBD_STATUS_CANCELED_VALUE:
        return nullptr;
    case RETIRED_PENDING:
    case RETIRED_TIMEOUT:
        return "its USBD status (a completion never signalled, or an outcome that could not be fetched) is none "
               "that a synchronous handle gives; record the trace again";
    default:
        return "its USBD status is none that a replay can give";
    }
}

class TraceReader {
public:
    explicit TraceReader(std::vector<ReplayRequest>* requests) : m_requests(*requests) { }

    bool Take(const CapturedPacket& packet, std::uint8_t kind, std::string* error)
    {
        return packet.completion ? Complete(packet, kind, error) : Submit(packet, kind, error);
    }

private:
    bool Submit(const CapturedPacket& packet, std::uint8_t kind, std::string* error)
    {
        if (m_waiting.count(packet.irp) != 0) {
            return Refuse(packet.number, "submits again an IRP that has not completed", error);
        }
        ReplayRequest request;
        request.index = static_cast<std::uint32_t>(m_requests.size() + 1);
        request.kind = kind;
        request.address = packet.address;
        request.timeMs = packet.timeMs;
        request.size = kind == TRACE_DESCRIPTOR ? 0 : packet.dataLength;
        if (kind == TRACE_WRITE) {
            request.out.assign(packet.data, packet.data + packet.kept);
        }
        // Never completed (the capture ended first): the request was not
        // answered while it was recorded, and replays as one never answered.
        request.status = USBD_STATUS_CANCELED_VALUE;
        m_waiting[packet.irp] = {m_requests.size(), packet.number};
        m_requests.push_back(std::move(request));
        return true;
    }

    bool Complete(const CapturedPacket& packet, std::uint8_t kind, std::string* error)
    {
        const auto found = m_waiting.find(packet.irp);
        if (found == m_waiting.end()) {
            return Refuse(packet.number, "completes an IRP that was never submitted", error);
        }
        ReplayRequest& request = m_requests[found->second.request];
        m_waiting.erase(found);
        if (request.kind != kind || request.address != packet.address) {
            return Refuse(packet.number, "its completion is of another kind or device than its submission", error);
        }
        if (const char* why = UnplayableStatus(packet.status)) {
            return Refuse(packet.number, why, error);
        }
        if (kind != TRACE_DESCRIPTOR && packet.dataLength > request.size) {
            return Refuse(packet.number, "its completion moves more bytes than the transfer asked for", error);
        }
        if (kind == TRACE_DESCRIPTOR && packet.status == USBD_STATUS_SUCCESS_VALUE &&
            packet.kept < USB_DEVICE_DESCRIPTOR_SIZE) {
            return Refuse(packet.number, "a descriptor answer shorter than 18 bytes", error);
        }
        request.status = packet.status;
        request.count = packet.dataLength;
        if (kind != TRACE_WRITE) {
            request.in.assign(packet.data, packet.data + packet.kept);
        }
        return true;
    }

    std::vector<ReplayRequest>& m_requests;
    std::unordered_map<std::uint64_t, Submitted> m_waiting;
};

}  // namespace

bool WireReplay::Parse(const std::vector<std::uint8_t>& bytes, std::string* error)
{
    m_requests.clear();
    m_next = 0;
    m_clockRecordNext = false;
    m_diverged = false;
    if (bytes.size() < PCAP_FILE_HEADER_SIZE || GetLe32(bytes.data()) != PCAP_MAGIC_MICROSECONDS) {
        *error = "not a pcap file (little-endian, microsecond time stamps)";
        return false;
    }
    if (GetLe32(bytes.data() + 20) != LINKTYPE_USBPCAP) {
        *error = "not a USBPcap capture (link type 249)";
        return false;
    }
    TraceReader reader(&m_requests);
    std::size_t at = PCAP_FILE_HEADER_SIZE;
    for (std::uint32_t number = 1; at < bytes.size(); ++number) {
        CapturedPacket packet;
        packet.number = number;
        std::uint8_t kind = 0;
        if (!ReadPacket(bytes, &at, &packet, error)) {
            return false;
        }
        if (KindOf(packet, &kind) && !reader.Take(packet, kind, error)) {
            return false;
        }
    }
    std::uint64_t slack = 0;
    RebaseRealClock(&slack);
    FindPresences(slack);
    return true;
}

// A trace stamped by a real clock (the Wine driver's) counts from its first
// request, as a simulator's counts from the start of the run. Its calls
// also took real time, which the replay's do not: a device counts as on the
// bus a little before and after its recorded requests (the updater's
// presence checks lie a second apart).
void WireReplay::RebaseRealClock(std::uint64_t* slack)
{
    *slack = 0;
    if (m_requests.empty() || m_requests.front().timeMs <= REAL_CLOCK_MS) {
        return;
    }
    const std::uint64_t first = m_requests.front().timeMs;
    for (ReplayRequest& recorded : m_requests) {
        recorded.timeMs = recorded.timeMs >= first ? recorded.timeMs - first : 0;
    }
    *slack = REAL_CLOCK_SLACK_MS;
}

// Each address's stay on the bus, found in one pass with the addresses
// indexed directly: a crafted trace may use every one of them.
void WireReplay::FindPresences(std::uint64_t slack)
{
    m_presence.clear();
    m_presenceByPath.assign(256, {});
    std::vector<std::size_t> presenceOf(ADDRESSES, SIZE_MAX);
    for (const ReplayRequest& recorded : m_requests) {
        if (recorded.status == USBD_STATUS_DEVICE_GONE_VALUE) {
            continue;
        }
        std::size_t& known = presenceOf[recorded.address];
        const std::uint64_t from = recorded.timeMs > slack ? recorded.timeMs - slack : 0;
        if (known == SIZE_MAX) {
            known = m_presence.size();
            m_presence.push_back({recorded.address, from, recorded.timeMs + slack});
            const std::int32_t path = TracePathOf(recorded.address);
            if (path >= 0) {
                m_presenceByPath[static_cast<std::size_t>(path)].push_back(known);
            }
        } else {
            m_presence[known].toMs = recorded.timeMs + slack;
        }
    }
}
