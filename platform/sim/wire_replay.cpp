#include "platform/sim/wire_replay.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>

#include "platform/byte_order.h"
#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"
#include "platform/sim/scoped_time_zone.h"
#include "platform/sim/wire_trace.h"
#include "platform/sim/world.h"
#include "scanner_model/usbpcap.h"
#include "scanner_model/wire_values.h"

WireReplay* g_wireReplay = nullptr;

namespace {

constexpr std::uintptr_t STATUS_UNSUCCESSFUL_VALUE = 0xC0000001u;
constexpr std::uint16_t DEVICE_RELEASE = 0x0100;
// How much of a long byte string the divergence line shows, from a little
// before the first difference.
constexpr std::size_t SHOWN_BYTES = 48;
constexpr std::size_t SHOWN_BEFORE = 8;
// Time stamps beyond a day are a PC's clock, not a run's virtual time.
constexpr std::uint64_t REAL_CLOCK_MS = 86400000;
constexpr std::uint64_t REAL_CLOCK_SLACK_MS = 400;

// The clock set's command block: a write of the clock record follows it.
bool IsClockSetBlock(const std::uint8_t* data, std::uint32_t size)
{
    return size == scanner_wire::BLOCK_SIZE && GetLe32(data) == scanner_wire::MARKER &&
           data[4] == scanner_wire::OPCODE_WRITE && data[6] == scanner_wire::SUBCODE_CLOCK;
}

const char* KindName(std::uint8_t kind)
{
    return kind == TRACE_DESCRIPTOR ? "descriptor request" : kind == TRACE_WRITE ? "write" : "read";
}

// "write of 16 bytes to device 1: 20 02 00 ..." with a window of the bytes
// that starts a little before `from`.
std::string Describe(std::uint8_t kind, std::uint16_t address, std::uint32_t size, const std::uint8_t* bytes,
                     std::size_t kept, std::size_t from)
{
    char head[96];
    if (kind == TRACE_DESCRIPTOR) {
        std::snprintf(head, sizeof head, "%s to device %u", KindName(kind), address);
    } else {
        std::snprintf(head, sizeof head, "%s of %u bytes %s device %u", KindName(kind), size,
                      kind == TRACE_WRITE ? "to" : "from", address);
    }
    std::string text = head;
    if (kind != TRACE_WRITE) {
        return text;
    }
    const std::size_t start = from > SHOWN_BEFORE ? from - SHOWN_BEFORE : 0;
    text += ":";
    if (start > 0) {
        text += " ...";
    }
    for (std::size_t i = start; i < kept && i < start + SHOWN_BYTES; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02x", bytes[i]);
        text += byte;
    }
    if (start + SHOWN_BYTES < kept || kept < size) {
        text += " ...";
    }
    return text;
}

// The record the updater makes of local time `seconds`: the calendar
// fields with the month as 1..12 in the field that counts 0..11, then
// normalised (what its clock handshake sends).
bool RecordOf(std::time_t seconds, std::int32_t fields[9])
{
    std::tm local{};
    localtime_r(&seconds, &local);
    local.tm_mon += 1;
    local.tm_yday = 0;
    local.tm_isdst = -1;
    if (std::mktime(&local) == static_cast<std::time_t>(-1)) {
        return false;
    }
    const std::int32_t values[9] = {local.tm_sec,  local.tm_min,  local.tm_hour, local.tm_mday, local.tm_mon,
                                    local.tm_year, local.tm_wday, local.tm_yday, local.tm_isdst};
    for (int i = 0; i < 9; ++i) {
        fields[i] = values[i];
    }
    return true;
}

}  // namespace

std::string DivergenceLine(std::uint32_t index, const std::string& recorded, const std::string& sent)
{
    return "fwupdate-sim: replay: request " + std::to_string(index) + " differs: recorded " + recorded + "; sent " +
           sent;
}

bool WireReplay::Load(const std::string& fileName, std::string* error)
{
    std::ifstream file(fileName, std::ios::binary);
    if (!file) {
        *error = fileName + ": cannot be read";
        return false;
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!Parse(bytes, error)) {
        *error = fileName + ": " + *error;
        return false;
    }
    return true;
}

bool WireReplay::Parse(const std::vector<std::uint8_t>& bytes, std::string* error)
{
    m_requests.clear();
    m_next = 0;
    if (bytes.size() < PCAP_FILE_HEADER_SIZE || GetLe32(bytes.data()) != PCAP_MAGIC_MICROSECONDS) {
        *error = "not a pcap file (little-endian, microsecond time stamps)";
        return false;
    }
    if (GetLe32(bytes.data() + 20) != LINKTYPE_USBPCAP) {
        *error = "not a USBPcap capture (link type 249)";
        return false;
    }
    // Submissions wait here for their completions, by IRP id.
    std::map<std::uint64_t, std::size_t> waiting;
    std::size_t at = PCAP_FILE_HEADER_SIZE;
    while (at < bytes.size()) {
        if (bytes.size() - at < PCAP_RECORD_HEADER_SIZE) {
            *error = "the last packet is cut off";
            return false;
        }
        const std::uint8_t* record = bytes.data() + at;
        const std::uint64_t timeMs = static_cast<std::uint64_t>(GetLe32(record)) * 1000 + GetLe32(record + 4) / 1000;
        const std::uint32_t captured = GetLe32(record + 8);
        if (captured > bytes.size() - at - PCAP_RECORD_HEADER_SIZE) {
            *error = "the last packet is cut off";
            return false;
        }
        const std::uint8_t* header = record + PCAP_RECORD_HEADER_SIZE;
        at += PCAP_RECORD_HEADER_SIZE + captured;
        if (captured < USBPCAP_HEADER_SIZE) {
            continue;
        }
        const std::uint32_t headerLength = GetLe16(header);
        if (headerLength < USBPCAP_HEADER_SIZE || headerLength > captured) {
            continue;
        }
        const std::uint64_t irp = GetLe64(header + 2);
        const std::uint32_t status = GetLe32(header + 10);
        const std::uint32_t function = GetLe16(header + 14);
        const bool completion = (header[16] & USBPCAP_INFO_COMPLETION) != 0;
        const std::uint16_t address = static_cast<std::uint16_t>(GetLe16(header + 19));
        const std::uint8_t endpoint = header[21];
        const std::uint32_t dataLength = GetLe32(header + 23);
        const std::uint8_t* data = header + headerLength;
        const std::size_t kept = std::min<std::size_t>(captured - headerLength, dataLength);
        // Only the requests the updater makes: bulk transfers and the
        // device descriptor request. Anything else a capture holds is the
        // stack's own business.
        std::uint8_t kind;
        if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            kind = (endpoint & 0x80) ? TRACE_READ : TRACE_WRITE;
        } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
            kind = TRACE_DESCRIPTOR;
        } else {
            continue;
        }
        if (!completion) {
            ReplayRequest request;
            request.index = static_cast<std::uint32_t>(m_requests.size() + 1);
            request.kind = kind;
            request.address = address;
            request.timeMs = timeMs;
            request.size = kind == TRACE_DESCRIPTOR ? 0 : dataLength;
            if (kind == TRACE_WRITE) {
                request.out.assign(data, data + kept);
            }
            // Never completed (a capture that ended first): nothing came.
            request.status = USBD_STATUS_PENDING_VALUE;
            waiting[irp] = m_requests.size();
            m_requests.push_back(std::move(request));
            continue;
        }
        const auto found = waiting.find(irp);
        if (found == waiting.end()) {
            continue;
        }
        ReplayRequest& request = m_requests[found->second];
        waiting.erase(found);
        request.status = status;
        request.count = dataLength;
        if (kind != TRACE_WRITE) {
            request.in.assign(data, data + kept);
        }
    }
    // A trace stamped by a real clock (the Wine driver's) counts from its
    // first request, as a simulator's counts from the start of the run.
    // Its calls also took real time, which the replay's do not: a device
    // counts as on the bus a little before and after its recorded requests
    // (the updater's presence checks lie a second apart).
    std::uint64_t slack = 0;
    if (!m_requests.empty() && m_requests.front().timeMs > REAL_CLOCK_MS) {
        const std::uint64_t first = m_requests.front().timeMs;
        for (ReplayRequest& recorded : m_requests) {
            recorded.timeMs = recorded.timeMs >= first ? recorded.timeMs - first : 0;
        }
        slack = REAL_CLOCK_SLACK_MS;
    }
    m_presence.clear();
    for (const ReplayRequest& recorded : m_requests) {
        if (recorded.status == USBD_STATUS_DEVICE_GONE_VALUE) {
            continue;
        }
        auto known = std::find_if(m_presence.begin(), m_presence.end(),
                                  [&](const Presence& presence) { return presence.address == recorded.address; });
        const std::uint64_t from = recorded.timeMs > slack ? recorded.timeMs - slack : 0;
        if (known == m_presence.end()) {
            m_presence.push_back({recorded.address, from, recorded.timeMs + slack});
        } else {
            known->toMs = recorded.timeMs + slack;
        }
    }
    return true;
}

void WireReplay::StartClock(SimWorld* world) const
{
    bool clockNext = false;
    for (const ReplayRequest& request : m_requests) {
        if (request.kind != TRACE_WRITE) {
            continue;
        }
        if (!clockNext) {
            clockNext = IsClockSetBlock(request.out.data(), static_cast<std::uint32_t>(request.out.size()));
            continue;
        }
        if (request.out.size() < scanner_wire::RECORD_SIZE) {
            return;
        }
        std::int32_t recorded[9];
        for (int i = 0; i < 9; ++i) {
            recorded[i] = static_cast<std::int32_t>(GetLe32(request.out.data() + 4 * i));
        }
        ScopedTimeZone zone(world->timeZone);
        // Undo the month shift, then look a few days around for the local
        // time that gives exactly this record: the shift's normalisation
        // folds the ends of long months into the next one.
        std::tm guess{};
        guess.tm_sec = recorded[0];
        guess.tm_min = recorded[1];
        guess.tm_hour = recorded[2];
        guess.tm_mday = recorded[3];
        guess.tm_mon = recorded[4] - 1;
        guess.tm_year = recorded[5];
        guess.tm_isdst = -1;
        const std::time_t base = std::mktime(&guess);
        if (base == static_cast<std::time_t>(-1)) {
            return;
        }
        std::time_t chosen = base;
        for (int days = 0; days <= 3; ++days) {
            const std::time_t candidate = base - static_cast<std::time_t>(days) * 86400;
            std::int32_t fields[9];
            if (RecordOf(candidate, fields) && std::equal(fields, fields + 9, recorded)) {
                chosen = candidate;
                break;
            }
        }
        world->localTimeAtStart = static_cast<std::int64_t>(chosen) - static_cast<std::int64_t>(request.timeMs / 1000);
        world->millisecondsAtStart = 0;
        return;
    }
}

Handle WireReplay::Open(int path)
{
    SimWorld& world = World();
    std::uint16_t address = 0;
    for (const Presence& presence : m_presence) {
        if (path >= 0 && TracePathOf(presence.address) == path && presence.fromMs <= world.nowMs &&
            world.nowMs <= presence.toMs) {
            address = presence.address;
            break;
        }
    }
    if (address == 0) {
        RecordCall("OpenDevicePath usbscan" + std::to_string(path) + " failed");
        SetSimLastError(ERROR_FILE_NOT_FOUND_CODE);
        return INVALID_HANDLE;
    }
    RecordCall("OpenDevicePath usbscan" + std::to_string(path));
    ++world.deviceOpens;
    SetSimLastError(0);
    SimObject device;
    device.kind = SimObjectKind::Device;
    device.path = path;
    device.scanner = true;
    device.generation = (address - 1u) / 256u + 1u;
    return NewSimObject(device);
}

void WireReplay::Diverge(const std::string& line)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", line.c_str());
    if (g_wireTrace) {
        g_wireTrace->Close();
    }
    std::fflush(stderr);
    std::_Exit(2);
}

bool WireReplay::Descriptor(Handle device, DeviceDescriptor* descriptor, std::uint32_t* returned)
{
    SimObject* object = FindSimObject(device, SimObjectKind::Device);
    if (object == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return false;
    }
    const std::uint16_t address = TraceAddress(object->path, object->generation);
    const std::string sent = Describe(TRACE_DESCRIPTOR, address, 0, nullptr, 0, 0);
    if (m_next >= m_requests.size()) {
        Diverge(DivergenceLine(static_cast<std::uint32_t>(m_next + 1), "nothing", sent));
    }
    const ReplayRequest& request = m_requests[m_next];
    if (request.kind != TRACE_DESCRIPTOR || request.address != address) {
        Diverge(DivergenceLine(
            request.index,
            Describe(request.kind, request.address, request.size, request.out.data(), request.out.size(), 0), sent));
    }
    ++m_next;
    const bool answered =
        request.status == USBD_STATUS_SUCCESS_VALUE && request.in.size() >= USB_DEVICE_DESCRIPTOR_SIZE;
    const std::uint16_t vendor = answered ? static_cast<std::uint16_t>(GetLe16(request.in.data() + 8)) : 0;
    const std::uint16_t product = answered ? static_cast<std::uint16_t>(GetLe16(request.in.data() + 10)) : 0;
    if (g_wireTrace) {
        g_wireTrace->Record(address, TRACE_DESCRIPTOR, nullptr, 0, request.status, request.count, nullptr, vendor,
                            product);
    }
    if (!answered) {
        SetSimLastError(request.status == USBD_STATUS_DEVICE_GONE_VALUE ? ERROR_DEVICE_NOT_CONNECTED_CODE
                                                                        : ERROR_GEN_FAILURE_CODE);
        return false;
    }
    if (descriptor) {
        *descriptor = DeviceDescriptor{vendor, product, DEVICE_RELEASE, 0};
    }
    if (returned) {
        *returned = sizeof(DeviceDescriptor);
    }
    return true;
}

bool WireReplay::Transfer(Handle device, bool write, void* data, std::uint32_t size, std::uint32_t* transferred,
                          TransferOverlapped* overlapped)
{
    SimObject* object = FindSimObject(device, SimObjectKind::Device);
    if (object == nullptr) {
        if (transferred) {
            *transferred = 0;
        }
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return false;
    }
    const std::uint8_t kind = write ? TRACE_WRITE : TRACE_READ;
    const std::uint16_t address = TraceAddress(object->path, object->generation);
    auto* bytes = static_cast<std::uint8_t*>(data);
    const bool clockRecord = write && m_clockRecordNext;
    if (write) {
        m_clockRecordNext = IsClockSetBlock(bytes, size);
    }

    if (m_next >= m_requests.size()) {
        Diverge(DivergenceLine(static_cast<std::uint32_t>(m_next + 1), "nothing",
                               Describe(kind, address, size, bytes, size, 0)));
    }
    // A stack may cut one large write into many bulk packets: consecutive
    // recorded writes to the same device make up this one.
    const std::size_t first = m_next;
    std::size_t last = first;
    std::uint64_t recordedSize = m_requests[first].size;
    while (write && recordedSize < size && last + 1 < m_requests.size() && m_requests[first].kind == TRACE_WRITE &&
           m_requests[last + 1].kind == TRACE_WRITE && m_requests[last + 1].address == address &&
           m_requests[last].status == USBD_STATUS_SUCCESS_VALUE && m_requests[last].count == m_requests[last].size) {
        ++last;
        recordedSize += m_requests[last].size;
    }
    const ReplayRequest& request = m_requests[first];
    bool same = request.kind == kind && request.address == address && recordedSize == size;
    std::size_t differsAt = 0;
    if (same && write && !clockRecord) {
        // Each piece is compared as far as its bytes were kept.
        std::uint64_t offset = 0;
        for (std::size_t i = first; same && i <= last; ++i) {
            const ReplayRequest& piece = m_requests[i];
            for (std::size_t j = 0; j < piece.out.size(); ++j) {
                if (piece.out[j] != bytes[offset + j]) {
                    same = false;
                    differsAt = static_cast<std::size_t>(offset + j);
                    break;
                }
            }
            offset += piece.size;
        }
    }
    if (!same) {
        const std::size_t pieceAt = differsAt < request.size ? differsAt : 0;
        Diverge(DivergenceLine(
            request.index,
            Describe(request.kind, request.address, request.size, request.out.data(), request.out.size(), pieceAt),
            Describe(kind, address, size, bytes, size, differsAt)));
    }
    m_next = last + 1;

    // The outcome: the pieces' counts add up; the last piece's status is the
    // write's.
    const std::uint32_t status = m_requests[last].status;
    std::uint64_t count = 0;
    for (std::size_t i = first; i <= last; ++i) {
        count += m_requests[i].count;
    }
    const std::uint32_t moved = static_cast<std::uint32_t>(count);
    if (!write) {
        const std::size_t kept = std::min<std::size_t>({request.in.size(), moved, size});
        for (std::size_t i = 0; i < kept; ++i) {
            bytes[i] = request.in[i];
        }
    }
    if (g_wireTrace) {
        g_wireTrace->Record(address, kind, bytes, size, status, moved, bytes, 0, 0);
    }
    if (status == USBD_STATUS_DEVICE_GONE_VALUE || status == USBD_STATUS_NOT_SUPPORTED_VALUE ||
        status == USBD_STATUS_STALL_PID_VALUE) {
        if (transferred) {
            *transferred = 0;
        }
        SetSimLastError(status == USBD_STATUS_DEVICE_GONE_VALUE     ? ERROR_DEVICE_NOT_CONNECTED_CODE
                        : status == USBD_STATUS_NOT_SUPPORTED_VALUE ? ERROR_INVALID_FUNCTION_CODE
                                                                    : ERROR_GEN_FAILURE_CODE);
        return false;
    }
    if (transferred) {
        *transferred = moved;
    }
    if (overlapped) {
        overlapped->Internal = status == USBD_STATUS_TIMEOUT_VALUE ? STATUS_UNSUCCESSFUL_VALUE : 0;
        overlapped->InternalHigh = moved;
        if (SimObject* event = FindSimObject(overlapped->hEvent, SimObjectKind::Event)) {
            event->signalled = status != USBD_STATUS_PENDING_VALUE;
        }
    }
    return true;
}

void WireReplay::Finish()
{
    if (m_next >= m_requests.size()) {
        return;
    }
    const ReplayRequest& request = m_requests[m_next];
    Diverge(DivergenceLine(
        request.index, Describe(request.kind, request.address, request.size, request.out.data(), request.out.size(), 0),
        "nothing"));
}
