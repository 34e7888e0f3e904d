// The Windows event log.
#pragma once
#include <cstdint>

// The entry's level as Event Viewer shows it (EVENTLOG_*_TYPE).
enum class EventLogType : std::uint16_t {
    Error = 0x0001,
    Warning = 0x0002,
    Information = 0x0004,
};

// At most this many insertion strings, each cut to EVENT_STRING_SIZE - 1
// characters: an entry is a line for an administrator, not a dump.
constexpr std::uint16_t EVENT_STRINGS_MAX = 8;
constexpr std::uint32_t EVENT_STRING_SIZE = 260;

// RegisterEventSourceW(NULL, source), ReportEventW(source, type, category 0,
// eventId, no user, count strings, no data), DeregisterEventSource: one
// entry in the Application log. The texts are ANSI and go in as UTF-16.
// False when the source cannot be opened or the entry is refused; the
// caller has nothing to undo either way.
bool ReportApplicationEvent(const char* source, EventLogType type, std::uint32_t eventId, const char* const* strings,
                            std::uint16_t count);
