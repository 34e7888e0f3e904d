// The scenario keys and how each one sets the simulated world. Every table
// below is the whole list of keys its object accepts.
#include <cctype>
#include <set>

#include "scenario_runner/interruptions.h"
#include "scenario_runner/local_time.h"
#include "scenario_runner/scenario.h"
#include "scenario_runner/scenario_reader.h"

namespace {

using Value = ScenarioValue;

constexpr ScenarioChoice SERVICE_STATES[] = {
    {"stopped", 1},          {"start_pending", 2}, {"stop_pending", 3}, {"running", 4},
    {"continue_pending", 5}, {"pause_pending", 6}, {"paused", 7},
};
constexpr ScenarioChoice START_TYPES[] = {
    {"boot", 0}, {"system", 1}, {"auto", 2}, {"manual", 3}, {"disabled", 4},
};
constexpr ScenarioChoice REGISTRY_TYPES[] = {
    {"REG_NONE", 0},   {"REG_SZ", 1},       {"REG_EXPAND_SZ", 2},
    {"REG_BINARY", 3}, {"REG_DWORD", 4},    {"REG_DWORD_BIG_ENDIAN", 5},
    {"REG_LINK", 6},   {"REG_MULTI_SZ", 7}, {"REG_QWORD", 11},
};
constexpr ScenarioChoice IMAGE_MODES[] = {
    {"present", static_cast<std::uint32_t>(SimImage::Present)},
    {"missing", static_cast<std::uint32_t>(SimImage::Missing)},
    {"not_loadable", static_cast<std::uint32_t>(SimImage::NotLoadable)},
    {"empty", static_cast<std::uint32_t>(SimImage::Empty)},
};
constexpr ScenarioChoice DIRECTIONS[] = {{"write", SIM_DIR_WRITE}, {"read", SIM_DIR_READ}};
constexpr ScenarioChoice FAULT_KINDS[] = {
    {"call_fails", SIM_FAULT_CALL_FAILS}, {"short", SIM_FAULT_SHORT}, {"partial", SIM_FAULT_PARTIAL},
    {"empty", SIM_FAULT_EMPTY},           {"stall", SIM_FAULT_STALL},
};
// Kinds that scenarios once named for faults no PC shows. They are refused
// with the reason, not as unknown words, so that an old scenario says what
// to write instead.
constexpr const char* RETIRED_FAULT_KINDS[] = {"wait_timeout", "result_fails"};

constexpr std::size_t MAX_ARGUMENTS = 64;
constexpr std::size_t MAX_FOREIGN_DEVICES = 256;
constexpr std::size_t MAX_REGISTRY_INSTANCES = 10000;
constexpr std::size_t MAX_REGISTRY_VALUES = 64;
constexpr std::size_t MAX_MUTEXES_HELD = 64;
// The digest resource a scenario may give in place of the build's: room for
// one of the wrong length either way.
constexpr std::size_t MAX_DIGEST_BYTES = 64;
constexpr std::size_t MAX_SELECTIONS = 16;
constexpr std::int64_t MAX_SELECTION_MS = 86400000;  // a day
// Virtual milliseconds that an absence may start or end at: far past any
// run, and still exact in a JSON number.
constexpr std::int64_t MAX_SCENARIO_MS = 1LL << 53;

// ---- top level ----

struct TimeSetting {
    bool hasLocal = false;
    std::string local;
    bool hasZone = false;
    std::string zone;
};

struct Build {
    SimWorld* world;
    std::vector<std::string>* arguments;
    ScenarioInterruptions* interruptions;
};

// ---- refusals of platform calls ----

constexpr ScenarioField<SimRefusal> REFUSAL_FIELDS[] = {
    {"first",
     [](const Value& value, SimRefusal& refusal) {
         refusal.first = static_cast<std::uint32_t>(value.Integer(1, 0xFFFFFFFFLL));
     },
     true},
    {"count", [](const Value& value,
                 SimRefusal& refusal) { refusal.count = static_cast<std::uint32_t>(value.Integer(1, 0xFFFFFFFFLL)); }},
    {"error", [](const Value& value, SimRefusal& refusal) { refusal.error = value.U32(); }},
};

SimRefusal ReadRefusal(const Value& value)
{
    SimRefusal refusal;
    ReadFields<SimRefusal>(value, refusal, REFUSAL_FIELDS);
    return refusal;
}

// ---- time ----

constexpr ScenarioField<TimeSetting> TIME_FIELDS[] = {
    {"local",
     [](const Value& value, TimeSetting& time) {
         time.hasLocal = true;
         time.local = value.Text();
     }},
    {"zone",
     [](const Value& value, TimeSetting& time) {
         time.hasZone = true;
         time.zone = value.Text();
     }},
    // tick_start goes straight to the world (below); listed so it is known.
    {"tick_start", [](const Value& value, TimeSetting&) { value.U32(); }},
};

void ReadTime(const Value& value, Build& build)
{
    TimeSetting time;
    ReadFields<TimeSetting>(value, time, TIME_FIELDS);
    if (value.Has("tick_start")) {
        build.world->tickAtStart = value.Member("tick_start").U32();
    }
    if (time.hasZone) {
        if (!IsKnownTimeZone(time.zone)) {
            value.Member("zone").Refuse("unknown time zone \"" + time.zone +
                                        "\" (a name under /usr/share/zoneinfo or a POSIX TZ rule)");
        }
        build.world->timeZone = time.zone;
    }
    if (time.hasLocal) {
        const auto instant = ParseLocalTime(time.local, build.world->timeZone);
        if (!instant) {
            value.Member("local").Refuse("\"" + time.local +
                                         "\" is not a local time YYYY-MM-DDTHH:MM:SS[.mmm] that exists in zone " +
                                         build.world->timeZone);
        }
        build.world->localTimeAtStart = instant->unixSeconds;
        build.world->millisecondsAtStart = instant->milliseconds;
    }
}

// ---- foreign devices ----

constexpr ScenarioField<SimForeignDevice> FOREIGN_FIELDS[] = {
    {"path",
     [](const Value& value, SimForeignDevice& device) { device.path = static_cast<int>(value.Integer(0, 255)); }, true},
    {"vendor_id", [](const Value& value, SimForeignDevice& device) { device.vendorId = value.Id16(); }},
    {"product_id", [](const Value& value, SimForeignDevice& device) { device.productId = value.Id16(); }},
    {"descriptor_fails", [](const Value& value, SimForeignDevice& device) { device.descriptorFails = value.Bool(); }},
};

void ReadForeignDevices(const Value& value, Build& build)
{
    build.world->foreignDevices.clear();
    std::set<int> paths;
    for (const Value& element : value.Elements(MAX_FOREIGN_DEVICES)) {
        SimForeignDevice device;
        ReadFields<SimForeignDevice>(element, device, FOREIGN_FIELDS);
        if (!paths.insert(device.path).second) {
            element.Member("path").Refuse("path " + std::to_string(device.path) + " holds another device already");
        }
        build.world->foreignDevices.push_back(device);
    }
}

// ---- scanner ----

std::int32_t I32(const Value& value)
{
    return static_cast<std::int32_t>(value.Integer(INT32_MIN, INT32_MAX));
}

constexpr ScenarioField<ScannerConfig> POWER_CYCLE_FIELDS[] = {
    {"leave_after_ms", [](const Value& value, ScannerConfig& scanner) { scanner.leaveAfterMs = value.U32(); }},
    {"absent_ms", [](const Value& value, ScannerConfig& scanner) { scanner.absentMs = value.U32(); }},
    {"return_path", [](const Value& value,
                       ScannerConfig& scanner) { scanner.returnPath = static_cast<int32_t>(value.Integer(-1, 255)); }},
    {"return_in_recovery", [](const Value& value, ScannerConfig& scanner) { scanner.returnInRecovery = value.Bool(); }},
};

constexpr ScenarioField<SimAbsence> ABSENCE_FIELDS[] = {
    {"from_ms",
     [](const Value& value, SimAbsence& absence) {
         absence.fromMs = static_cast<uint64_t>(value.Integer(0, MAX_SCENARIO_MS));
     },
     true},
    {"to_ms",
     [](const Value& value, SimAbsence& absence) {
         absence.toMs = static_cast<uint64_t>(value.Integer(0, MAX_SCENARIO_MS));
     },
     true},
    {"then_path",
     [](const Value& value, SimAbsence& absence) { absence.thenPath = static_cast<int32_t>(value.Integer(-1, 255)); },
     true},
};

std::uint8_t ReadFaultKind(const Value& value)
{
    for (const char* retired : RETIRED_FAULT_KINDS) {
        if (value.Json().is_string() && value.Json().get_ref<const std::string&>() == retired) {
            value.Refuse("this kind of fault does not exist: a call on the scanner's synchronous handle returns "
                         "complete, its event set and its outcome ready; use scanner.silent or the kind \"stall\"");
        }
    }
    return static_cast<std::uint8_t>(value.Choice(FAULT_KINDS));
}

constexpr ScenarioField<SimFaultRule> FAULT_FIELDS[] = {
    {"direction",
     [](const Value& value, SimFaultRule& fault) { fault.direction = static_cast<uint8_t>(value.Choice(DIRECTIONS)); },
     true},
    {"kind", [](const Value& value, SimFaultRule& fault) { fault.kind = ReadFaultKind(value); }, true},
    {"first", [](const Value& value,
                 SimFaultRule& fault) { fault.first = static_cast<uint32_t>(value.Integer(1, 0xFFFFFFFFLL)); }},
    {"count", [](const Value& value,
                 SimFaultRule& fault) { fault.count = static_cast<uint32_t>(value.Integer(1, 0xFFFFFFFFLL)); }},
    {"amount", [](const Value& value, SimFaultRule& fault) { fault.amount = value.U32(); }},
};

void ReadFault(const Value& value, SimFaultRule& fault)
{
    fault = SimFaultRule{SIM_DIR_WRITE, SIM_FAULT_NONE, 1, 1, 0};
    ReadFields<SimFaultRule>(value, fault, FAULT_FIELDS);
    const bool readOnlyKind = fault.kind == SIM_FAULT_PARTIAL || fault.kind == SIM_FAULT_EMPTY;
    if (readOnlyKind && fault.direction != SIM_DIR_READ) {
        value.Member("kind").Refuse("this kind of fault exists for reads only");
    }
    const bool usesAmount = fault.kind == SIM_FAULT_SHORT || fault.kind == SIM_FAULT_PARTIAL;
    if (usesAmount && fault.amount == 0) {
        if (!value.Has("amount")) {
            RefuseMissingKey(value, "amount");
        }
        value.Member("amount").Refuse("must be at least 1 for this kind of fault");
    }
    if (!usesAmount && value.Has("amount")) {
        value.Member("amount").Refuse("only faults of kind \"short\" and \"partial\" take an amount");
    }
}

constexpr ScenarioField<ScannerConfig> SILENCE_FIELDS[] = {
    {"after_transfers",
     [](const Value& value, ScannerConfig& scanner) {
         scanner.silentByCount = true;
         scanner.silentAfterTransfers = value.U32();
     }},
    {"from_ms",
     [](const Value& value, ScannerConfig& scanner) {
         scanner.silentByTime = true;
         scanner.silentFromMs = static_cast<uint64_t>(value.Integer(0, MAX_SCENARIO_MS));
     }},
};

void ReadSilence(const Value& value, ScannerConfig& scanner)
{
    ReadFields<ScannerConfig>(value, scanner, SILENCE_FIELDS);
    if (!scanner.silentByCount && !scanner.silentByTime) {
        value.Refuse("needs \"after_transfers\", \"from_ms\" or both");
    }
}

constexpr ScenarioField<ScannerConfig> SCANNER_FIELDS[] = {
    {"silent", ReadSilence},
    {"path",
     [](const Value& value, ScannerConfig& scanner) { scanner.path = static_cast<int32_t>(value.Integer(-1, 255)); }},
    {"vendor_id", [](const Value& value, ScannerConfig& scanner) { scanner.vendorId = value.Id16(); }},
    {"product_id", [](const Value& value, ScannerConfig& scanner) { scanner.productId = value.Id16(); }},
    {"descriptor_fails", [](const Value& value, ScannerConfig& scanner) { scanner.descriptorFails = value.Bool(); }},
    {"recovery", [](const Value& value, ScannerConfig& scanner) { scanner.recovery = value.Bool(); }},
    {"busy_state", [](const Value& value, ScannerConfig& scanner) { scanner.busyState = value.U16(); }},
    {"busy_for_ms", [](const Value& value, ScannerConfig& scanner) { scanner.busyForMs = value.U32(); }},
    {"script",
     [](const Value& value, ScannerConfig& scanner) {
         const auto states = value.Elements(SIM_MAX_SCRIPT);
         for (std::size_t i = 0; i < states.size(); ++i) {
             scanner.script[i] = states[i].U16();
         }
         scanner.scriptLength = static_cast<uint32_t>(states.size());
     }},
    {"burn_ms", [](const Value& value, ScannerConfig& scanner) { scanner.burnMs = value.U32(); }},
    {"burn_end_state", [](const Value& value, ScannerConfig& scanner) { scanner.burnEndState = value.U16(); }},
    {"power_cycle",
     [](const Value& value, ScannerConfig& scanner) { ReadFields<ScannerConfig>(value, scanner, POWER_CYCLE_FIELDS); }},
    {"clock_skew_seconds", [](const Value& value, ScannerConfig& scanner) { scanner.clockSkewSeconds = I32(value); }},
    {"clock_reply",
     [](const Value& value, ScannerConfig& scanner) {
         const auto fields = value.Elements(9);
         if (fields.size() != 9) {
             value.Refuse("must hold exactly 9 integers (tm_sec .. tm_isdst)");
         }
         for (std::size_t i = 0; i < 9; ++i) {
             const auto field = static_cast<uint32_t>(I32(fields[i]));
             for (std::size_t byteIndex = 0; byteIndex < 4; ++byteIndex) {
                 scanner.clockReply[i * 4 + byteIndex] = static_cast<uint8_t>(field >> (8 * byteIndex));
             }
         }
         scanner.clockScripted = true;
     }},
    {"absences",
     [](const Value& value, ScannerConfig& scanner) {
         const auto absences = value.Elements(SIM_MAX_ABSENCES);
         for (std::size_t i = 0; i < absences.size(); ++i) {
             SimAbsence absence{};
             ReadFields<SimAbsence>(absences[i], absence, ABSENCE_FIELDS);
             if (absence.toMs <= absence.fromMs) {
                 absences[i].Member("to_ms").Refuse("must come after from_ms");
             }
             scanner.absences[i] = absence;
         }
         scanner.absenceCount = static_cast<uint32_t>(absences.size());
     }},
    {"faults",
     [](const Value& value, ScannerConfig& scanner) {
         const auto faults = value.Elements(SIM_MAX_FAULTS);
         for (std::size_t i = 0; i < faults.size(); ++i) {
             ReadFault(faults[i], scanner.faults[i]);
         }
         scanner.faultCount = static_cast<uint32_t>(faults.size());
     }},
};

// ---- service ----

constexpr ScenarioField<SimService> SERVICE_REFUSAL_FIELDS[] = {
    {"open_manager", [](const Value& value, SimService& service) { service.openManager = ReadRefusal(value); }},
    {"open_service", [](const Value& value, SimService& service) { service.openService = ReadRefusal(value); }},
    {"query_status", [](const Value& value, SimService& service) { service.queryStatus = ReadRefusal(value); }},
    {"query_config", [](const Value& value, SimService& service) { service.queryConfig = ReadRefusal(value); }},
    {"change_config", [](const Value& value, SimService& service) { service.changeConfig = ReadRefusal(value); }},
    {"control", [](const Value& value, SimService& service) { service.control = ReadRefusal(value); }},
    {"start", [](const Value& value, SimService& service) { service.start = ReadRefusal(value); }},
    {"query_triggers", [](const Value& value, SimService& service) { service.queryTriggers = ReadRefusal(value); }},
};

constexpr ScenarioField<SimService> SERVICE_FIELDS[] = {
    {"installed", [](const Value& value, SimService& service) { service.installed = value.Bool(); }},
    {"state", [](const Value& value, SimService& service) { service.state = value.Choice(SERVICE_STATES); }},
    {"start_type", [](const Value& value, SimService& service) { service.startType = value.Choice(START_TYPES); }},
    {"running_controls", [](const Value& value, SimService& service) { service.runningControls = value.U32(); }},
    {"start_pending_ms", [](const Value& value, SimService& service) { service.startPendingMs = value.U32(); }},
    {"stop_pending_ms", [](const Value& value, SimService& service) { service.stopPendingMs = value.U32(); }},
    {"start_wait_hint", [](const Value& value, SimService& service) { service.startWaitHint = value.U32(); }},
    {"stop_wait_hint", [](const Value& value, SimService& service) { service.stopWaitHint = value.U32(); }},
    {"stuck_pending", [](const Value& value, SimService& service) { service.stuckPending = value.Bool(); }},
    {"start_trigger", [](const Value& value, SimService& service) { service.startTrigger = value.Bool(); }},
    {"control_takes_ms", [](const Value& value, SimService& service) { service.controlTakesMs = value.U32(); }},
    {"start_takes_ms", [](const Value& value, SimService& service) { service.startTakesMs = value.U32(); }},
    {"refusals",
     [](const Value& value, SimService& service) { ReadFields<SimService>(value, service, SERVICE_REFUSAL_FIELDS); }},
};

// ---- registry ----

struct ValueSetting {
    SimRegistryValue value;
    bool hasText = false;
    bool hasHex = false;
};

std::vector<std::uint8_t> ReadHex(const Value& value)
{
    const std::string text = value.Text();
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (char ch : text) {
        if (ch == ' ' || ch == ':' || ch == '-') {
            if (high >= 0) {
                value.Refuse("a byte is cut in half by a separator");
            }
            continue;
        }
        int digit = -1;
        if (ch >= '0' && ch <= '9') {
            digit = ch - '0';
        }
        if (ch >= 'a' && ch <= 'f') {
            digit = ch - 'a' + 10;
        }
        if (ch >= 'A' && ch <= 'F') {
            digit = ch - 'A' + 10;
        }
        if (digit < 0) {
            value.Refuse(std::string("'") + ch + "' is not a hexadecimal digit");
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0) {
        value.Refuse("holds an odd number of hexadecimal digits");
    }
    return bytes;
}

constexpr ScenarioField<ValueSetting> REGISTRY_VALUE_FIELDS[] = {
    {"name", [](const Value& value, ValueSetting& setting) { setting.value.name = value.Text(); }, true},
    {"type",
     [](const Value& value, ValueSetting& setting) {
         setting.value.type = value.Json().is_string() ? value.Choice(REGISTRY_TYPES) : value.U32();
     }},
    // Text is stored the way the platform stores REG_SZ: its bytes and a
    // terminating zero. Bytes without a terminator are written as hex.
    {"text",
     [](const Value& value, ValueSetting& setting) {
         const std::string text = value.Text();
         setting.value.data.assign(text.begin(), text.end());
         setting.value.data.push_back(0);
         setting.hasText = true;
     }},
    {"hex",
     [](const Value& value, ValueSetting& setting) {
         setting.value.data = ReadHex(value);
         setting.hasHex = true;
     }},
};

std::string Lowercase(std::string text)
{
    for (char& ch : text) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    return text;
}

constexpr ScenarioField<SimRegistryInstance> INSTANCE_FIELDS[] = {
    {"number",
     [](const Value& value, SimRegistryInstance& instance) {
         instance.number = static_cast<int>(value.Integer(0, 9999));
     },
     true},
    {"open_refused", [](const Value& value, SimRegistryInstance& instance) { instance.openRefused = value.Bool(); }},
    {"values",
     [](const Value& value, SimRegistryInstance& instance) {
         std::set<std::string> names;
         for (const Value& element : value.Elements(MAX_REGISTRY_VALUES)) {
             ValueSetting setting;
             ReadFields<ValueSetting>(element, setting, REGISTRY_VALUE_FIELDS);
             if (setting.hasText == setting.hasHex) {
                 element.Refuse("needs exactly one of \"text\" and \"hex\"");
             }
             // The registry does not tell value names apart by letter case.
             if (!names.insert(Lowercase(setting.value.name)).second) {
                 element.Member("name").Refuse("the instance holds a value of this name already");
             }
             instance.values.push_back(setting.value);
         }
     }},
};

void ReadRegistry(const Value& value, Build& build)
{
    build.world->registry.clear();
    std::set<int> numbers;
    for (const Value& element : value.Elements(MAX_REGISTRY_INSTANCES)) {
        SimRegistryInstance instance;
        ReadFields<SimRegistryInstance>(element, instance, INSTANCE_FIELDS);
        if (!numbers.insert(instance.number).second) {
            element.Member("number").Refuse("instance " + std::to_string(instance.number) + " is listed twice");
        }
        build.world->registry.push_back(instance);
    }
}

// ---- another application letting go of its mutex ----

struct MutexRelease {
    std::string name;
    std::uint64_t atMs = 0;
};

constexpr ScenarioField<MutexRelease> MUTEX_RELEASE_FIELDS[] = {
    {"name", [](const Value& value, MutexRelease& release) { release.name = value.NonEmptyText(); }, true},
    {"at_ms",
     [](const Value& value, MutexRelease& release) {
         release.atMs = static_cast<std::uint64_t>(value.Integer(0, MAX_SCENARIO_MS));
     },
     true},
};

void ReadMutexReleases(const Value& value, Build& build)
{
    build.world->mutexReleasesByOthers.clear();
    for (const Value& element : value.Elements(MAX_MUTEXES_HELD)) {
        MutexRelease release;
        ReadFields<MutexRelease>(element, release, MUTEX_RELEASE_FIELDS);
        if (!build.world->mutexReleasesByOthers.emplace(release.name, release.atMs).second) {
            element.Member("name").Refuse("this mutex is listed twice");
        }
    }
}

// ---- the rest of the top level ----

constexpr ScenarioField<SimWorld> WORLD_REFUSAL_FIELDS[] = {
    {"create_event", [](const Value& value, SimWorld& world) { world.createEvent = ReadRefusal(value); }},
    {"create_mutex", [](const Value& value, SimWorld& world) { world.createMutex = ReadRefusal(value); }},
    {"allocate_fixed", [](const Value& value, SimWorld& world) { world.allocateFixed = ReadRefusal(value); }},
    {"set_timeouts", [](const Value& value, SimWorld& world) { world.setTimeouts = ReadRefusal(value); }},
};

// ---- the console window ----

constexpr ScenarioChoice SELECTION_MAKERS[] = {{"click", 1}, {"menu", 0}};

constexpr ScenarioField<SimConsoleSelection> SELECTION_FIELDS[] = {
    {"at_ms",
     [](const Value& value, SimConsoleSelection& selection) {
         selection.atMs = static_cast<std::uint64_t>(value.Integer(0, MAX_SCENARIO_MS));
     },
     true},
    {"length_ms",
     [](const Value& value, SimConsoleSelection& selection) {
         selection.lengthMs = static_cast<std::uint32_t>(value.Integer(1, MAX_SELECTION_MS));
     },
     true},
    {"by", [](const Value& value,
              SimConsoleSelection& selection) { selection.byClick = value.Choice(SELECTION_MAKERS) != 0; }},
};

constexpr ScenarioField<SimWorld> CONSOLE_FIELDS[] = {
    {"quick_edit", [](const Value& value, SimWorld& world) { world.quickEditAtStart = value.Bool(); }},
    {"selections",
     [](const Value& value, SimWorld& world) {
         world.consoleSelections.clear();
         for (const Value& element : value.Elements(MAX_SELECTIONS)) {
             SimConsoleSelection selection;
             ReadFields<SimConsoleSelection>(element, selection, SELECTION_FIELDS);
             world.consoleSelections.push_back(selection);
         }
     }},
};

// The system's time limits after a console event, as a user's profile can
// set them: from nothing to a minute.
constexpr std::int64_t MAX_TIME_LIMIT_MS = 60000;
constexpr ScenarioField<SimWorld> SYSTEM_PARAMETER_FIELDS[] = {
    {"hung_app_timeout_ms",
     [](const Value& value, SimWorld& world) {
         world.hungAppTimeoutMs = static_cast<std::uint32_t>(value.Integer(0, MAX_TIME_LIMIT_MS));
     }},
    {"wait_to_kill_timeout_ms",
     [](const Value& value, SimWorld& world) {
         world.waitToKillTimeoutMs = static_cast<std::uint32_t>(value.Integer(0, MAX_TIME_LIMIT_MS));
     }},
};

constexpr ScenarioField<Build> TOP_FIELDS[] = {
    // Free text for the reader of the file.
    {"description", [](const Value& value, Build&) { value.Text(); }},
    // What the end-to-end tests expect of the run; not part of the world.
    {"expect", [](const Value& value, Build&) { value.RequireObject(); }},
    {"language", [](const Value& value, Build& build) { build.world->languageId = value.Id16(); }},
    {"elevated", [](const Value& value, Build& build) { build.world->elevated = value.Bool(); }},
    {"system_parameters",
     [](const Value& value, Build& build) { ReadFields<SimWorld>(value, *build.world, SYSTEM_PARAMETER_FIELDS); }},
    {"arguments",
     [](const Value& value, Build& build) {
         build.arguments->clear();
         for (const Value& element : value.Elements(MAX_ARGUMENTS)) {
             build.arguments->push_back(element.Text());
         }
     }},
    {"time", ReadTime},
    {"foreign_devices", ReadForeignDevices},
    {"scanner",
     [](const Value& value, Build& build) {
         ReadFields<ScannerConfig>(value, build.world->scanner, SCANNER_FIELDS);
         // The world has a second switch for the same behaviour; keep them
         // in agreement so either reading of it sees the scenario's word.
         build.world->descriptorFailsOnScanner = build.world->scanner.descriptorFails;
     }},
    {"service",
     [](const Value& value, Build& build) { ReadFields<SimService>(value, build.world->service, SERVICE_FIELDS); }},
    {"registry", ReadRegistry},
    {"mutexes_held",
     [](const Value& value, Build& build) {
         build.world->mutexesHeldByOthers.clear();
         std::set<std::string> names;
         for (const Value& element : value.Elements(MAX_MUTEXES_HELD)) {
             const std::string name = element.NonEmptyText();
             if (!names.insert(name).second) {
                 element.Refuse("this mutex is listed twice");
             }
             build.world->mutexesHeldByOthers.push_back(name);
         }
     }},
    {"mutexes_released", ReadMutexReleases},
    {"image",
     [](const Value& value, Build& build) { build.world->image = static_cast<SimImage>(value.Choice(IMAGE_MODES)); }},
    {"image_digest",
     [](const Value& value, Build& build) { build.world->digest = static_cast<SimImage>(value.Choice(IMAGE_MODES)); }},
    {"image_digest_hex",
     [](const Value& value, Build& build) {
         std::vector<std::uint8_t> bytes = ReadHex(value);
         if (bytes.size() > MAX_DIGEST_BYTES) {
             value.Refuse("more than " + std::to_string(MAX_DIGEST_BYTES) + " bytes");
         }
         build.world->digestBytes = std::move(bytes);
     }},
    {"image_flipped_byte",
     [](const Value& value, Build& build) {
         build.world->imageFlippedByte = static_cast<std::uint32_t>(value.Integer(0, EmbeddedImageSize() - 1LL));
     }},
    {"refusals",
     [](const Value& value, Build& build) { ReadFields<SimWorld>(value, *build.world, WORLD_REFUSAL_FIELDS); }},
    {"console", [](const Value& value, Build& build) { ReadFields<SimWorld>(value, *build.world, CONSOLE_FIELDS); }},
    {"interruptions", [](const Value& value, Build& build) { ReadInterruptions(value, *build.interruptions); }},
    {"then_run", [](const Value& value, Build& build) { ReadLaterRuns(value, *build.interruptions); }},
};

// Checks that need more than one key.
void CheckWorld(const Value& root, const SimWorld& world)
{
    const int scannerPath = world.scanner.path;
    for (std::size_t i = 0; i < world.foreignDevices.size(); ++i) {
        if (world.foreignDevices[i].path == scannerPath) {
            root.Member("foreign_devices")
                .Elements(MAX_FOREIGN_DEVICES)[i]
                .Member("path")
                .Refuse("path " + std::to_string(scannerPath) + " is the scanner's (scanner.path)");
        }
    }
    // Only a mutex another application holds can be let go of.
    if (root.Has("mutexes_released")) {
        const auto releases = root.Member("mutexes_released").Elements(MAX_MUTEXES_HELD);
        for (const Value& element : releases) {
            const std::string name = element.Member("name").Text();
            bool held = false;
            for (const std::string& heldName : world.mutexesHeldByOthers) {
                held = held || heldName == name;
            }
            if (!held) {
                element.Member("name").Refuse("this mutex is not in mutexes_held");
            }
        }
    }
}

}  // namespace

SimRegistryInstance DefaultScannerInstance()
{
    auto text = [](const char* name, const std::string& content) {
        SimRegistryValue value;
        value.name = name;
        value.type = 1;  // REG_SZ
        value.data.assign(content.begin(), content.end());
        value.data.push_back(0);
        return value;
    };
    SimRegistryInstance instance;
    instance.number = 0;
    instance.values = {
        text("CreateFileName", "\\\\.\\usbscan0"),
        text("MatchingDeviceId", "usb\\vid_7a3c&pid_41b2"),
        text("FriendlyName", "Orvane DS-1200"),
    };
    return instance;
}

void ApplyDefaultWorld(SimWorld* world, std::vector<std::string>* arguments)
{
    *world = SimWorld{};
    world->scanner = DefaultScannerConfig();
    world->registry = {DefaultScannerInstance()};
    arguments->clear();
}

bool ApplyScenario(const std::string& fileName, const std::string& text, SimWorld* world,
                   std::vector<std::string>* arguments, std::string* error)
{
    ScenarioInterruptions interruptions;
    if (!ApplyScenario(fileName, text, world, arguments, &interruptions, error)) {
        return false;
    }
    // A caller that plays one run of the updater without interruptions
    // must not play a scenario that asks for them as if it did not.
    if (interruptions.Any()) {
        *error = PrintableText(fileName + ": interruptions, then_run: this caller plays a single, uninterrupted run");
        return false;
    }
    return true;
}

bool ApplyScenario(const std::string& fileName, const std::string& text, SimWorld* world,
                   std::vector<std::string>* arguments, ScenarioInterruptions* interruptions, std::string* error)
{
    try {
        const nlohmann::json document = ParseScenarioText(text);
        const Value root(document, "");
        Build build{world, arguments, interruptions};
        ReadFields<Build>(root, build, TOP_FIELDS);
        CheckWorld(root, *world);
        return true;
    } catch (const ScenarioError& refusal) {
        // Paths and messages quote the file's own keys and texts.
        *error = PrintableText(fileName + ": " + refusal.where + ": " + refusal.message);
        return false;
    } catch (const nlohmann::json::exception& failure) {
        // The parser reports its own errors with their position; this is
        // the net for any other error of the library, so that no file can
        // end the simulator with an uncaught exception.
        *error = PrintableText(fileName + ": " + failure.what());
        return false;
    }
}
