#include "platform/sim/wire_replay.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "platform/byte_order.h"
#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"
#include "platform/sim/scoped_time_zone.h"
#include "platform/sim/world.h"
#include "scanner_model/usbpcap.h"
#include "scanner_model/wire_values.h"

namespace {

// How much of a long byte string the divergence line shows, from a little
// before the first difference.
constexpr std::size_t SHOWN_BYTES = 48;
constexpr std::size_t SHOWN_BEFORE = 8;

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
std::string DescribeRequest(std::uint8_t kind, std::uint16_t address, std::uint32_t size, const std::uint8_t* bytes,
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

// The clock record's nine fields, if each lies where a normalised calendar
// time puts it; the record comes from the file, so nothing about it is
// taken for granted before arithmetic is done on it.
bool PlausibleRecord(const std::int32_t recorded[9])
{
    // seconds (a leap second too), minutes, hours, day, month 0..11, years
    // since 1900 (1900..3000).
    const std::int32_t lowest[6] = {0, 0, 0, 1, 0, 0};
    const std::int32_t highest[6] = {60, 59, 23, 31, 11, 1100};
    for (int i = 0; i < 6; ++i) {
        if (recorded[i] < lowest[i] || recorded[i] > highest[i]) {
            return false;
        }
    }
    return true;
}

// The local time whose record the updater would make is `recorded`: undo
// the month shift, then look a few days around, since the shift's
// normalisation folds the ends of long months into the next one.
std::optional<std::time_t> LocalTimeOfRecord(const std::int32_t recorded[9])
{
    if (!PlausibleRecord(recorded)) {
        return std::nullopt;
    }
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
        return std::nullopt;
    }
    for (int days = 0; days <= 3; ++days) {
        const std::time_t candidate = base - static_cast<std::time_t>(days) * 86400;
        std::int32_t fields[9];
        if (RecordOf(candidate, fields) && std::equal(fields, fields + 9, recorded)) {
            return candidate;
        }
    }
    return base;
}

}  // namespace

std::string DivergenceLine(std::uint32_t index, const std::string& recorded, const std::string& sent)
{
    return "fwupdate-sim: replay: request " + std::to_string(index) + " differs: recorded " + recorded + "; sent " +
           sent;
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
        const std::optional<std::time_t> chosen = LocalTimeOfRecord(recorded);
        if (!chosen) {
            return;
        }
        world->localTimeAtStart = static_cast<std::int64_t>(*chosen) - static_cast<std::int64_t>(request.timeMs / 1000);
        world->millisecondsAtStart = 0;
        return;
    }
}

bool WireReplay::Attach(int path, SimObject* device)
{
    if (path < 0 || static_cast<std::size_t>(path) >= m_presenceByPath.size()) {
        return false;
    }
    const std::uint64_t nowMs = World().nowMs;
    for (const std::size_t at : m_presenceByPath[static_cast<std::size_t>(path)]) {
        const Presence& presence = m_presence[at];
        if (presence.fromMs <= nowMs && nowMs <= presence.toMs) {
            // Every device of a replay answers as the trace did, the
            // scanner's commands included.
            device->scanner = true;
            device->generation = (presence.address - 1u) / 256u + 1u;
            return true;
        }
    }
    return false;
}

void WireReplay::Diverge(const std::string& line)
{
    m_diverged = true;
    if (m_onDivergence) {
        m_onDivergence(line);
    }
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    std::_Exit(2);
}

void WireReplay::DivergeFromNothing(const std::string& sent)
{
    Diverge(DivergenceLine(static_cast<std::uint32_t>(m_next + 1), "nothing", sent));
}

DeviceAnswer WireReplay::Describe(const SimObject& device)
{
    if (m_diverged) {
        return {USBD_STATUS_DEVICE_GONE_VALUE, 0, 0, 0};
    }
    const std::uint16_t address = BusAddressOf(device);
    const std::string sent = DescribeRequest(TRACE_DESCRIPTOR, address, 0, nullptr, 0, 0);
    if (m_next >= m_requests.size()) {
        DivergeFromNothing(sent);
    }
    const ReplayRequest& request = m_requests[m_next];
    if (request.kind != TRACE_DESCRIPTOR || request.address != address) {
        Diverge(DivergenceLine(
            request.index,
            DescribeRequest(request.kind, request.address, request.size, request.out.data(), request.out.size(), 0),
            sent));
    }
    ++m_next;
    DeviceAnswer answer{request.status, request.count, 0, 0};
    if (request.status == USBD_STATUS_SUCCESS_VALUE) {
        // The reader made sure that a descriptor answered in full.
        answer.vendorId = static_cast<std::uint16_t>(GetLe16(request.in.data() + 8));
        answer.productId = static_cast<std::uint16_t>(GetLe16(request.in.data() + 10));
    }
    return answer;
}

std::size_t WireReplay::LastPieceOf(std::size_t first, bool write, std::uint16_t address, std::uint32_t size) const
{
    std::size_t last = first;
    std::uint64_t recordedSize = m_requests[first].size;
    while (write && recordedSize < size && last + 1 < m_requests.size() && m_requests[first].kind == TRACE_WRITE &&
           m_requests[last + 1].kind == TRACE_WRITE && m_requests[last + 1].address == address &&
           m_requests[last].status == USBD_STATUS_SUCCESS_VALUE && m_requests[last].count == m_requests[last].size) {
        ++last;
        recordedSize += m_requests[last].size;
    }
    return last;
}

// The recorded pieces [first, last] must be this very request: kind,
// device and size, and a write's bytes as far as they were kept (the clock
// record is the PC's own time and is not compared).
void WireReplay::CheckRequest(std::size_t first, std::size_t last, std::uint8_t kind, std::uint16_t address,
                              const std::uint8_t* bytes, std::uint32_t size, bool compareBytes)
{
    const ReplayRequest& request = m_requests[first];
    std::uint64_t recordedSize = 0;
    for (std::size_t i = first; i <= last; ++i) {
        recordedSize += m_requests[i].size;
    }
    bool same = request.kind == kind && request.address == address && recordedSize == size;
    std::size_t differsAt = 0;
    std::uint64_t offset = 0;
    for (std::size_t i = first; same && compareBytes && i <= last; ++i) {
        const ReplayRequest& piece = m_requests[i];
        const auto mismatch = std::mismatch(piece.out.begin(), piece.out.end(), bytes + offset);
        if (mismatch.first != piece.out.end()) {
            same = false;
            differsAt = static_cast<std::size_t>(offset) + static_cast<std::size_t>(mismatch.first - piece.out.begin());
        }
        offset += piece.size;
    }
    if (!same) {
        const std::size_t pieceAt = differsAt < request.size ? differsAt : 0;
        Diverge(DivergenceLine(request.index,
                               DescribeRequest(request.kind, request.address, request.size, request.out.data(),
                                               request.out.size(), pieceAt),
                               DescribeRequest(kind, address, size, bytes, size, differsAt)));
    }
}

DeviceAnswer WireReplay::Transfer(const SimObject& device, std::uint8_t kind, std::uint8_t* bytes, std::uint32_t size)
{
    if (m_diverged) {
        return {USBD_STATUS_DEVICE_GONE_VALUE, 0, 0, 0};
    }
    const bool write = kind == TRACE_WRITE;
    const std::uint16_t address = BusAddressOf(device);
    const bool clockRecord = write && m_clockRecordNext;
    if (write) {
        m_clockRecordNext = IsClockSetBlock(bytes, size);
    }
    if (m_next >= m_requests.size()) {
        DivergeFromNothing(DescribeRequest(kind, address, size, bytes, size, 0));
    }
    const std::size_t first = m_next;
    const std::size_t last = LastPieceOf(first, write, address, size);
    CheckRequest(first, last, kind, address, bytes, size, write && !clockRecord);
    m_next = last + 1;
    // The pieces' counts add up; the last piece's status is the transfer's.
    std::uint64_t count = 0;
    for (std::size_t i = first; i <= last; ++i) {
        count += m_requests[i].count;
    }
    const DeviceAnswer answer{m_requests[last].status, static_cast<std::uint32_t>(count), 0, 0};
    if (!write) {
        const ReplayRequest& request = m_requests[first];
        const std::size_t kept = std::min<std::size_t>({request.in.size(), answer.count, size});
        std::copy_n(request.in.begin(), kept, bytes);
    }
    return answer;
}

DeviceAnswer WireReplay::Write(const SimObject& device, const std::uint8_t* data, std::uint32_t size)
{
    // A write's bytes are only read: Transfer writes into `bytes` for reads alone.
    return Transfer(device, TRACE_WRITE, const_cast<std::uint8_t*>(data), size);
}

DeviceAnswer WireReplay::Read(const SimObject& device, std::uint8_t* data, std::uint32_t size)
{
    return Transfer(device, TRACE_READ, data, size);
}

void WireReplay::Finish()
{
    if (m_diverged || m_next >= m_requests.size()) {
        return;
    }
    const ReplayRequest& request = m_requests[m_next];
    Diverge(DivergenceLine(
        request.index,
        DescribeRequest(request.kind, request.address, request.size, request.out.data(), request.out.size(), 0),
        "nothing"));
}
