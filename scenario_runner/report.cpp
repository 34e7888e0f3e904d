#include "scenario_runner/report.h"

#include <cstdio>

#include "common/sha256.h"
#include "scenario_runner/local_time.h"

using nlohmann::json;

namespace {

json ServiceFacts(const SimService& service)
{
    return json{{"installed", service.installed},
                {"state", ReportStateName(service.state)},
                {"start_type", ReportStartTypeName(service.startType)}};
}

json Digest(const std::uint8_t* data, std::uint64_t size)
{
    Sha256 context;
    Sha256Init(&context);
    Sha256Update(&context, data, size);
    std::uint8_t digest[32];
    Sha256Final(&context, digest);
    return HexText(digest, sizeof digest);
}

// Length of the well-formed UTF-8 sequence at bytes[at], or 0 when the
// byte there does not start one (overlong forms, surrogates and code
// points past U+10FFFF included).
std::size_t Utf8SequenceAt(const std::string& bytes, std::size_t at)
{
    const auto byte = [&bytes](std::size_t index) { return static_cast<unsigned char>(bytes[index]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;
        }
        if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        }
        if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return 0;
    }
    if (at + length > bytes.size()) {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (std::size_t index = 2; index < length; ++index) {
        if (byte(at + index) < 0x80 || byte(at + index) > 0xBF) {
            return 0;
        }
    }
    return length;
}

bool IsHexDigit(char ch)
{
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

void AppendByteEscape(std::string* text, unsigned char byte)
{
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
    *text += escaped;
}

}  // namespace

std::string ReportString(const std::string& bytes)
{
    std::string text;
    text.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        const bool readsAsEscape = bytes[at] == '\\' && at + 3 < bytes.size() && bytes[at + 1] == 'x' &&
                                   IsHexDigit(bytes[at + 2]) && IsHexDigit(bytes[at + 3]);
        const std::size_t length = Utf8SequenceAt(bytes, at);
        if (readsAsEscape || length == 0) {
            AppendByteEscape(&text, static_cast<unsigned char>(bytes[at]));
            ++at;
        } else {
            text.append(bytes, at, length);
            at += length;
        }
    }
    return text;
}

const char* ReportStateName(std::uint32_t state)
{
    static const char* const NAMES[] = {"stopped",          "start_pending", "stop_pending", "running",
                                        "continue_pending", "pause_pending", "paused"};
    if (state >= 1 && state <= 7) {
        return NAMES[state - 1];
    }
    return "unknown";
}

const char* ReportStartTypeName(std::uint32_t startType)
{
    static const char* const NAMES[] = {"boot", "system", "auto", "manual", "disabled"};
    if (startType <= 4) {
        return NAMES[startType];
    }
    return "unknown";
}

std::string HexText(const std::uint8_t* bytes, std::size_t size)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t index = 0; index < size; ++index) {
        text.push_back(DIGITS[bytes[index] >> 4]);
        text.push_back(DIGITS[bytes[index] & 15]);
    }
    return text;
}

json ScannerClockText(const SimWorld& world)
{
    const ScannerModel& model = world.model;
    if (!model.clockHeld) {
        return nullptr;
    }
    std::int32_t fields[9];
    for (int index = 0; index < 9; ++index) {
        std::uint32_t field = 0;
        for (int byteIndex = 0; byteIndex < 4; ++byteIndex) {
            field |= static_cast<std::uint32_t>(model.clockRecord[index * 4 + byteIndex]) << (8 * byteIndex);
        }
        fields[index] = static_cast<std::int32_t>(field);
    }
    const std::optional<std::int64_t> received = LocalFieldsToSeconds(fields, world.timeZone);
    if (!received) {
        return nullptr;
    }
    const std::uint64_t since = world.nowMs >= model.clockSetAtMs ? world.nowMs - model.clockSetAtMs : 0;
    return FormatLocalTime(*received + static_cast<std::int64_t>(since / 1000), world.timeZone);
}

json BuildReport(const SimWorld& world, const SimService& serviceBefore, int exitCode, RunEnd end)
{
    json created = json::array(), owned = json::array();
    for (const auto& [name, mutex] : world.mutexes) {
        if (mutex.CreatedBy(0)) {
            created.push_back(ReportString(name));
        }
        if (mutex.OwnedBy(0)) {
            owned.push_back(ReportString(name));
        }
    }

    const ScannerModel& model = world.model;
    json scanner{
        {"downloads", model.downloads},
        {"download_param", model.downloads > 0 ? json(model.downloadParam) : json(nullptr)},
        {"image_bytes", model.imageBytes},
        {"image_sha256", model.imageComplete ? json(HexText(model.imageSha256, 32)) : json(nullptr)},
        {"clock", ScannerClockText(world)},
        {"unanswered", model.unanswered},
        {"pipe_resets", model.pipeResets},
        {"halted_pipes", model.haltedPipes},
        {"service_beside_image", world.serviceBesideImage},
    };

    return json{
        {"exit_code", exitCode},
        {"ended_by", end == RunEnd::Return ? "return" : "process_exit"},
        {"virtual_ms", world.nowMs},
        {"service", {{"before", ServiceFacts(serviceBefore)}, {"after", ServiceFacts(world.serviceNow)}}},
        {"mutexes", {{"created", created}, {"owned_at_exit", owned}}},
        // The record of a service owed back, kept under the updater's own key.
        {"registry", {{"service_debt_recorded", world.machineKeys.count("software\\fwupdate") == 1}}},
        {"scanner", scanner},
        {"blocking",
         {{"longest_call_ms", world.longestCallMs},
          {"console_held_ms", world.consoleBlockedMs},
          {"quick_edit_at_end", world.quickEdit}}},
        {"embedded_image",
         {{"bytes", EmbeddedImageSize()}, {"sha256", Digest(EmbeddedImageData(), EmbeddedImageSize())}}},
    };
}

std::string ReportText(const SimWorld& world, const SimService& serviceBefore, int exitCode, RunEnd end)
{
    return BuildReport(world, serviceBefore, exitCode, end).dump(2) + "\n";
}

// Each copy of the updater: whether it started, how it ended, what it
// returned and the text of its own console.
json CopyFacts(const SimWorld& world)
{
    json copies = json::array();
    for (std::size_t i = 1; i < world.processes.size(); ++i) {
        const SimProcess& copy = world.processes[i];
        copies.push_back({{"started", copy.started},
                          {"ended_by", copy.started ? json(copy.endedBy) : json(nullptr)},
                          {"exit_code", copy.exitCode >= 0 ? json(copy.exitCode) : json(nullptr)},
                          {"console", ReportString(copy.view.console)}});
    }
    return copies;
}

json UserHolderFacts(const SimWorld& world)
{
    static const char* const STATES[] = {"not_yet", "refused", "waiting", "holding"};
    json holders = json::array();
    for (std::size_t i = 0; i < world.userMutexStates.size(); ++i) {
        holders.push_back({{"name", ReportString(world.userMutexHolders[i].name)},
                           {"state", STATES[static_cast<std::size_t>(world.userMutexStates[i])]}});
    }
    return holders;
}

// The give-back's task: each run of it (when it started, its exit code,
// null when it was ended or never started), whether the task and any file
// under Program Files (its copy) are still there at the end.
json GiveBackFacts(const SimWorld& world)
{
    json runs = json::array();
    for (const SimTaskRun& run : world.taskRuns) {
        runs.push_back({{"at_ms", run.atMs}, {"exit_code", run.exitCode >= 0 ? json(run.exitCode) : json(nullptr)}});
    }
    std::string copies = world.programFilesPath + "\\";
    for (char& ch : copies) {
        ch = ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
    }
    bool copyAtEnd = false;
    for (const auto& [path, file] : world.files) {
        copyAtEnd = copyAtEnd || path.rfind(copies, 0) == 0;
    }
    return json{{"task_at_end", !world.tasks.empty()}, {"copy_at_end", copyAtEnd}, {"runs", runs}};
}

json InterruptionFacts(const SimWorld& world)
{
    // The registry's key paths are kept in lower case.
    const bool debtRecorded = world.machineKeys.count("software\\fwupdate") == 1;
    json controls = json::array();
    for (const std::string& line : world.controlLog) {
        controls.push_back(ReportString(line));
    }
    return json{
        {"service_debt_recorded", debtRecorded},
        {"keep_awake_at_end", world.keepAwake},
        {"keep_awake_requests", world.keepAwakeRequests},
        {"control_log", controls},
        {"asleep_ms", world.asleepMs},
        {"updater_copies", CopyFacts(world)},
        {"user_mutex_holders", UserHolderFacts(world)},
        {"processes", world.processesStarted},
        {"give_back", GiveBackFacts(world)},
    };
}

std::string ReportText(const SimWorld& world, const SimService& serviceBefore, int exitCode, RunEnd end,
                       const std::vector<RunOutcome>& runs)
{
    json report = BuildReport(world, serviceBefore, exitCode, end);
    json outcomes = json::array();
    for (const RunOutcome& run : runs) {
        outcomes.push_back({{"exit_code", run.exitCode},
                            {"ended_by", run.endedBy},
                            {"downloads", run.downloads},
                            {"keep_awake_at_end", run.keepAwakeAtEnd}});
    }
    report["runs"] = outcomes;
    report["interruptions"] = InterruptionFacts(world);
    return report.dump(2) + "\n";
}
