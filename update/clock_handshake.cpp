#include "update/clock_handshake.h"

#include "link/transfer.h"
#include "link/wire.h"
#include "platform/clock.h"

namespace {

// The conversion's answer for a record it cannot convert.
constexpr std::int64_t CONVERSION_FAILED = -1;

// The scanner's firmware takes and returns the month as 1..12 in a field
// the conversion reads as 0..11. Both sides keep that convention, so the
// comparison is made in the same shifted reckoning on both records.
CalendarFields HostCalendar(const LocalTimeFields& host)
{
    CalendarFields fields{};
    fields.tm_sec = host.wSecond;
    fields.tm_min = host.wMinute;
    fields.tm_hour = host.wHour;
    fields.tm_mday = host.wDay;
    fields.tm_mon = host.wMonth;
    fields.tm_year = static_cast<std::int32_t>(host.wYear) - 1900;
    fields.tm_wday = host.wDayOfWeek;
    fields.tm_yday = 0;
    // Let the host's zone decide daylight saving for the shifted date.
    fields.tm_isdst = -1;
    return fields;
}

void ToRecord(const CalendarFields& fields, ClockRecord* record)
{
    const std::int32_t values[9] = {fields.tm_sec,  fields.tm_min,  fields.tm_hour, fields.tm_mday, fields.tm_mon,
                                    fields.tm_year, fields.tm_wday, fields.tm_yday, fields.tm_isdst};
    for (int i = 0; i < 9; ++i) {
        SetClockField(record, i, values[i]);
    }
}

CalendarFields FromRecord(const ClockRecord& record)
{
    CalendarFields fields;
    fields.tm_sec = ClockField(record, 0);
    fields.tm_min = ClockField(record, 1);
    fields.tm_hour = ClockField(record, 2);
    fields.tm_mday = ClockField(record, 3);
    fields.tm_mon = ClockField(record, 4);
    fields.tm_year = ClockField(record, 5);
    fields.tm_wday = ClockField(record, 6);
    fields.tm_yday = ClockField(record, 7);
    fields.tm_isdst = ClockField(record, 8);
    return fields;
}

}  // namespace

bool SetScannerClock()
{
    LocalTimeFields host{};
    ReadLocalTime(&host);
    CalendarFields sent = HostCalendar(host);
    // Normalised in place: the scanner receives the record as converted.
    // Taken before any transfer, so the transfers' time counts against the
    // window.
    const std::int64_t localSeconds = MakeLocalTime(&sent);
    // A failed conversion reads as -1 seconds. Trusting it would let a
    // read-back that fails to convert too (a zero record, say) match it.
    if (localSeconds == CONVERSION_FAILED) {
        return false;
    }
    ClockRecord outgoing{};
    ToRecord(sent, &outgoing);

    CommandBlock setCommand;
    BuildCommandBlock(&setCommand, OP_WRITE, SUB_CLOCK, CLOCK_PARAM_SET, CLOCK_RECORD_SIZE);
    StatusReply setReply{};
    if (!ExchangeCommand(&setCommand, &setReply)) {
        return false;
    }
    if (!WriteData(outgoing.bytes, CLOCK_RECORD_SIZE)) {
        return false;
    }

    CommandBlock getCommand;
    BuildCommandBlock(&getCommand, OP_READ, SUB_CLOCK, CLOCK_PARAM_GET, CLOCK_RECORD_SIZE);
    StatusReply getReply{};
    if (!ExchangeCommand(&getCommand, &getReply)) {
        return false;
    }
    ClockRecord incoming{};
    if (!ReadData(&incoming)) {
        return false;
    }

    // Converted as it came, its own daylight-saving flag included.
    CalendarFields received = FromRecord(incoming);
    const std::int64_t deviceSeconds = MakeLocalTime(&received);
    if (deviceSeconds == CONVERSION_FAILED) {
        return false;
    }
    return localSeconds - CLOCK_TOLERANCE_SECONDS < deviceSeconds &&
           deviceSeconds < localSeconds + CLOCK_TOLERANCE_SECONDS;
}
