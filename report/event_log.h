// The run's entry in the Windows Application event log: one per run, under
// the updater's own source, so that an administrator sees every PC's last
// update in the place where fleet tools already collect events.
#pragma once
#include <cstdint>

#include "platform/event_log.h"

// The source the entries are written under, and the name a deployment
// registers in the Application log's key to give them their texts.
inline constexpr const char* EVENT_SOURCE = "fwupdate";

// What an entry says: one kind per way an update ends, one for a check,
// one for a run record that could not be written, and two for the
// give-back task's end (a run cut while the service was off learns nothing
// of how the task later fared, and its own process has no console).
enum class RunEvent : std::uint8_t {
    Updated,
    Busy,
    NoScanner,
    NotElevated,
    FailedBeforeImage,
    FailedAfterImage,
    ServiceNotGivenBack,
    ImageDamaged,
    CheckResult,
    RecordNotWritten,
    ServiceGivenBack,
    GiveBackGaveUp,
};

// The id Event Viewer shows for a kind, and the entry's level. The ids are
// published: scripts and monitoring filter on them, so they never change.
struct RunEventInfo {
    std::uint16_t id;
    EventLogType type;
};
RunEventInfo EventInfoFor(RunEvent event);

// The id the entry is reported under: the shown id with the level's
// severity in the top two bits, as the message compiler numbers the
// message table's entries. Event Viewer finds the text by this number.
std::uint32_t MessageIdFor(RunEvent event);

// How the run was started, as its entry names it.
enum class RunKind : std::uint8_t { Attended, Unattended, Check };

// What a run's entry names besides its kind: the outcome's code (the one
// /s would exit with, whatever this run exited with), how it ran, the
// scanner's path (empty: none found) and the mode.
struct RunFacts {
    int outcomeCode = 0;
    RunKind kind = RunKind::Attended;
    const char* scannerPath = "";
    std::int32_t mode = 0;
};

// Writes the run's one entry, with the SHA-256 of the image the
// executable carries (as its build embedded it). Whether the log took it
// is not said: the console and the exit code tell the run whatever the log
// does, and a failure here has nothing to undo.
void LogRunEvent(RunEvent event, const RunFacts& facts);

// The entry for a run record that could not be written; `reason` says why.
void LogRecordNotWritten(const char* reason);

// The give-back task's entry when it ends: the service given back, or left
// off after its last run; `runs` is how many runs of the task that took.
void LogGiveBackEnd(bool givenBack, std::uint32_t runs);
