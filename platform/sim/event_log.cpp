#include "platform/event_log.h"

#include <cstdio>
#include <string>

#include "platform/sim/objects.h"
#include "platform/sim/world.h"

bool ReportApplicationEvent(const char* source, EventLogType type, std::uint32_t eventId, const char* const* strings,
                            std::uint16_t count)
{
    SimWorld& world = World();
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(eventId));
    RecordCall("ReportEvent ", id);
    if (world.processEnded) {
        return false;
    }
    if (world.reportEvent.Applies(++world.reportEventCalls)) {
        SetSimLastError(world.reportEvent.error);
        return false;
    }
    SimEventLogEntry entry;
    entry.source = source != nullptr ? source : "";
    entry.type = static_cast<std::uint16_t>(type);
    entry.eventId = eventId;
    entry.process = world.currentProcess;
    for (std::uint16_t i = 0; i < count && i < EVENT_STRINGS_MAX; ++i) {
        const char* text = strings != nullptr && strings[i] != nullptr ? strings[i] : "";
        entry.strings.emplace_back(std::string(text).substr(0, EVENT_STRING_SIZE - 1));
    }
    world.eventLog.push_back(std::move(entry));
    return true;
}
