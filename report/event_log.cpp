#include "report/event_log.h"

#include <cstdio>

#include "common/shared.h"
#include "platform/resource.h"

namespace {

// The message compiler's severity codes, in a message id's top two bits.
constexpr std::uint32_t SEVERITY_INFORMATIONAL = 1;
constexpr std::uint32_t SEVERITY_WARNING = 2;
constexpr std::uint32_t SEVERITY_ERROR = 3;
constexpr int SEVERITY_SHIFT = 30;

constexpr std::uint32_t SHA256_SIZE = 32;
// 64 hex digits and the zero.
constexpr std::uint32_t DIGEST_TEXT_SIZE = 2 * SHA256_SIZE + 1;
constexpr std::uint32_t NUMBER_TEXT_SIZE = 16;

const char* KindName(RunKind kind)
{
    switch (kind) {
    case RunKind::Unattended:
        return "unattended";
    case RunKind::Check:
        return "check";
    case RunKind::Attended:
        break;
    }
    return "attended";
}

// The image's SHA-256 as the build embedded it beside the image, in lower
// case hex; "unknown" when the executable does not carry one of 32 bytes
// (a damaged copy is logged too).
void DigestText(char* text, std::uint32_t size)
{
    std::snprintf(text, size, "%s", "unknown");
    const Handle resource = FindBinaryResource(FIRMWARE_DIGEST_RESOURCE_ID);
    if (resource == NO_HANDLE || SizeOfBinaryResource(resource) != SHA256_SIZE) {
        return;
    }
    const Handle loaded = LoadBinaryResource(resource);
    const auto* digest = loaded == NO_HANDLE ? nullptr : static_cast<const unsigned char*>(LockBinaryResource(loaded));
    if (digest == nullptr) {
        return;
    }
    for (std::uint32_t i = 0; i < SHA256_SIZE && 2 * i + 2 < size; ++i) {
        std::snprintf(text + 2 * i, size - 2 * i, "%02x", static_cast<unsigned>(digest[i]));
    }
}

std::uint32_t SeverityOf(EventLogType type)
{
    switch (type) {
    case EventLogType::Error:
        return SEVERITY_ERROR;
    case EventLogType::Warning:
        return SEVERITY_WARNING;
    case EventLogType::Information:
        break;
    }
    return SEVERITY_INFORMATIONAL;
}

}  // namespace

RunEventInfo EventInfoFor(RunEvent event)
{
    switch (event) {
    case RunEvent::Updated:
        return {1000, EventLogType::Information};
    case RunEvent::Busy:
        return {1001, EventLogType::Warning};
    case RunEvent::NoScanner:
        return {1002, EventLogType::Warning};
    case RunEvent::NotElevated:
        return {1003, EventLogType::Error};
    case RunEvent::FailedBeforeImage:
        return {1004, EventLogType::Error};
    case RunEvent::FailedAfterImage:
        return {1005, EventLogType::Error};
    case RunEvent::ServiceNotGivenBack:
        return {1006, EventLogType::Error};
    case RunEvent::ImageDamaged:
        return {1007, EventLogType::Error};
    case RunEvent::CheckResult:
        return {1010, EventLogType::Information};
    case RunEvent::ServiceGivenBack:
        return {1030, EventLogType::Information};
    case RunEvent::GiveBackGaveUp:
        return {1031, EventLogType::Error};
    case RunEvent::RecordNotWritten:
        break;
    }
    return {1020, EventLogType::Warning};
}

std::uint32_t MessageIdFor(RunEvent event)
{
    const RunEventInfo info = EventInfoFor(event);
    return SeverityOf(info.type) << SEVERITY_SHIFT | info.id;
}

void LogRunEvent(RunEvent event, const RunFacts& facts)
{
    char code[NUMBER_TEXT_SIZE];
    std::snprintf(code, sizeof code, "%d", facts.outcomeCode);
    char mode[NUMBER_TEXT_SIZE];
    std::snprintf(mode, sizeof mode, "%d", static_cast<int>(facts.mode));
    char digest[DIGEST_TEXT_SIZE];
    DigestText(digest, sizeof digest);
    const bool found = facts.scannerPath != nullptr && facts.scannerPath[0] != '\0';
    const char* const strings[] = {code, KindName(facts.kind), found ? facts.scannerPath : "none", mode, digest};
    const RunEventInfo info = EventInfoFor(event);
    ReportApplicationEvent(EVENT_SOURCE, info.type, MessageIdFor(event), strings,
                           static_cast<std::uint16_t>(sizeof strings / sizeof strings[0]));
}

void LogRecordNotWritten(const char* reason)
{
    const char* const strings[] = {reason != nullptr ? reason : ""};
    const RunEventInfo info = EventInfoFor(RunEvent::RecordNotWritten);
    ReportApplicationEvent(EVENT_SOURCE, info.type, MessageIdFor(RunEvent::RecordNotWritten), strings, 1);
}

void LogGiveBackEnd(bool givenBack, std::uint32_t runs)
{
    char count[NUMBER_TEXT_SIZE];
    std::snprintf(count, sizeof count, "%u", static_cast<unsigned>(runs));
    const char* const strings[] = {count};
    const RunEvent event = givenBack ? RunEvent::ServiceGivenBack : RunEvent::GiveBackGaveUp;
    ReportApplicationEvent(EVENT_SOURCE, EventInfoFor(event).type, MessageIdFor(event), strings, 1);
}
