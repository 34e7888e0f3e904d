// The scenario keys and how each one sets the simulated world. Every table
// below is the whole list of keys its object accepts.
#include <cctype>
#include <set>

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
    {"call_fails", SIM_FAULT_CALL_FAILS},     {"wait_timeout", SIM_FAULT_WAIT_TIMEOUT},
    {"result_fails", SIM_FAULT_RESULT_FAILS}, {"short", SIM_FAULT_SHORT},
    {"partial", SIM_FAULT_PARTIAL},           {"empty", SIM_FAULT_EMPTY},
};

constexpr std::size_t MAX_ARGUMENTS = 64;
constexpr std::size_t MAX_FOREIGN_DEVICES = 256;
constexpr std::size_t MAX_REGISTRY_INSTANCES = 10000;
constexpr std::size_t MAX_REGISTRY_VALUES = 64;
constexpr std::size_t MAX_MUTEXES_HELD = 64;
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
};

// ---- refusals of platform calls ----

constexpr ScenarioField<SimRefusal> REFUSAL_FIELDS[] = {
    {"first", [](const Value& v, SimRefusal& r) { r.first = static_cast<std::uint32_t>(v.Integer(1, 0xFFFFFFFFLL)); },
     true},
    {"count", [](const Value& v, SimRefusal& r) { r.count = static_cast<std::uint32_t>(v.Integer(1, 0xFFFFFFFFLL)); }},
    {"error", [](const Value& v, SimRefusal& r) { r.error = v.U32(); }},
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
     [](const Value& v, TimeSetting& t) {
         t.hasLocal = true;
         t.local = v.Text();
     }},
    {"zone",
     [](const Value& v, TimeSetting& t) {
         t.hasZone = true;
         t.zone = v.Text();
     }},
    // tick_start goes straight to the world (below); listed so it is known.
    {"tick_start", [](const Value& v, TimeSetting&) { v.U32(); }},
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
    {"path", [](const Value& v, SimForeignDevice& d) { d.path = static_cast<int>(v.Integer(0, 255)); }, true},
    {"vendor_id", [](const Value& v, SimForeignDevice& d) { d.vendorId = v.Id16(); }},
    {"product_id", [](const Value& v, SimForeignDevice& d) { d.productId = v.Id16(); }},
    {"descriptor_fails", [](const Value& v, SimForeignDevice& d) { d.descriptorFails = v.Bool(); }},
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

std::int32_t I32(const Value& v)
{
    return static_cast<std::int32_t>(v.Integer(INT32_MIN, INT32_MAX));
}

constexpr ScenarioField<ScannerConfig> POWER_CYCLE_FIELDS[] = {
    {"leave_after_ms", [](const Value& v, ScannerConfig& s) { s.leaveAfterMs = v.U32(); }},
    {"absent_ms", [](const Value& v, ScannerConfig& s) { s.absentMs = v.U32(); }},
    {"return_path", [](const Value& v, ScannerConfig& s) { s.returnPath = static_cast<int32_t>(v.Integer(-1, 255)); }},
    {"return_in_recovery", [](const Value& v, ScannerConfig& s) { s.returnInRecovery = v.Bool(); }},
};

constexpr ScenarioField<SimAbsence> ABSENCE_FIELDS[] = {
    {"from_ms", [](const Value& v, SimAbsence& a) { a.fromMs = static_cast<uint64_t>(v.Integer(0, MAX_SCENARIO_MS)); },
     true},
    {"to_ms", [](const Value& v, SimAbsence& a) { a.toMs = static_cast<uint64_t>(v.Integer(0, MAX_SCENARIO_MS)); },
     true},
    {"then_path", [](const Value& v, SimAbsence& a) { a.thenPath = static_cast<int32_t>(v.Integer(-1, 255)); }, true},
};

constexpr ScenarioField<SimFaultRule> FAULT_FIELDS[] = {
    {"direction", [](const Value& v, SimFaultRule& f) { f.direction = static_cast<uint8_t>(v.Choice(DIRECTIONS)); },
     true},
    {"kind", [](const Value& v, SimFaultRule& f) { f.kind = static_cast<uint8_t>(v.Choice(FAULT_KINDS)); }, true},
    {"first", [](const Value& v, SimFaultRule& f) { f.first = static_cast<uint32_t>(v.Integer(1, 0xFFFFFFFFLL)); }},
    {"count", [](const Value& v, SimFaultRule& f) { f.count = static_cast<uint32_t>(v.Integer(1, 0xFFFFFFFFLL)); }},
    {"amount", [](const Value& v, SimFaultRule& f) { f.amount = v.U32(); }},
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

constexpr ScenarioField<ScannerConfig> SCANNER_FIELDS[] = {
    {"path", [](const Value& v, ScannerConfig& s) { s.path = static_cast<int32_t>(v.Integer(-1, 255)); }},
    {"vendor_id", [](const Value& v, ScannerConfig& s) { s.vendorId = v.Id16(); }},
    {"product_id", [](const Value& v, ScannerConfig& s) { s.productId = v.Id16(); }},
    {"descriptor_fails", [](const Value& v, ScannerConfig& s) { s.descriptorFails = v.Bool(); }},
    {"recovery", [](const Value& v, ScannerConfig& s) { s.recovery = v.Bool(); }},
    {"busy_state", [](const Value& v, ScannerConfig& s) { s.busyState = v.U16(); }},
    {"busy_for_ms", [](const Value& v, ScannerConfig& s) { s.busyForMs = v.U32(); }},
    {"script",
     [](const Value& v, ScannerConfig& s) {
         const auto states = v.Elements(SIM_MAX_SCRIPT);
         for (std::size_t i = 0; i < states.size(); ++i) {
             s.script[i] = states[i].U16();
         }
         s.scriptLength = static_cast<uint32_t>(states.size());
     }},
    {"burn_ms", [](const Value& v, ScannerConfig& s) { s.burnMs = v.U32(); }},
    {"burn_end_state", [](const Value& v, ScannerConfig& s) { s.burnEndState = v.U16(); }},
    {"power_cycle", [](const Value& v, ScannerConfig& s) { ReadFields<ScannerConfig>(v, s, POWER_CYCLE_FIELDS); }},
    {"clock_skew_seconds", [](const Value& v, ScannerConfig& s) { s.clockSkewSeconds = I32(v); }},
    {"clock_reply",
     [](const Value& v, ScannerConfig& s) {
         const auto fields = v.Elements(9);
         if (fields.size() != 9) {
             v.Refuse("must hold exactly 9 integers (tm_sec .. tm_isdst)");
         }
         for (std::size_t i = 0; i < 9; ++i) {
             const auto field = static_cast<uint32_t>(I32(fields[i]));
             for (std::size_t b = 0; b < 4; ++b) {
                 s.clockReply[i * 4 + b] = static_cast<uint8_t>(field >> (8 * b));
             }
         }
         s.clockScripted = true;
     }},
    {"absences",
     [](const Value& v, ScannerConfig& s) {
         const auto absences = v.Elements(SIM_MAX_ABSENCES);
         for (std::size_t i = 0; i < absences.size(); ++i) {
             SimAbsence absence{};
             ReadFields<SimAbsence>(absences[i], absence, ABSENCE_FIELDS);
             if (absence.toMs <= absence.fromMs) {
                 absences[i].Member("to_ms").Refuse("must come after from_ms");
             }
             s.absences[i] = absence;
         }
         s.absenceCount = static_cast<uint32_t>(absences.size());
     }},
    {"faults",
     [](const Value& v, ScannerConfig& s) {
         const auto faults = v.Elements(SIM_MAX_FAULTS);
         for (std::size_t i = 0; i < faults.size(); ++i) {
             ReadFault(faults[i], s.faults[i]);
         }
         s.faultCount = static_cast<uint32_t>(faults.size());
     }},
};

// ---- service ----

constexpr ScenarioField<SimService> SERVICE_REFUSAL_FIELDS[] = {
    {"open_manager", [](const Value& v, SimService& s) { s.openManager = ReadRefusal(v); }},
    {"open_service", [](const Value& v, SimService& s) { s.openService = ReadRefusal(v); }},
    {"query_status", [](const Value& v, SimService& s) { s.queryStatus = ReadRefusal(v); }},
    {"query_config", [](const Value& v, SimService& s) { s.queryConfig = ReadRefusal(v); }},
    {"change_config", [](const Value& v, SimService& s) { s.changeConfig = ReadRefusal(v); }},
    {"control", [](const Value& v, SimService& s) { s.control = ReadRefusal(v); }},
    {"start", [](const Value& v, SimService& s) { s.start = ReadRefusal(v); }},
};

constexpr ScenarioField<SimService> SERVICE_FIELDS[] = {
    {"installed", [](const Value& v, SimService& s) { s.installed = v.Bool(); }},
    {"state", [](const Value& v, SimService& s) { s.state = v.Choice(SERVICE_STATES); }},
    {"start_type", [](const Value& v, SimService& s) { s.startType = v.Choice(START_TYPES); }},
    {"running_controls", [](const Value& v, SimService& s) { s.runningControls = v.U32(); }},
    {"start_pending_ms", [](const Value& v, SimService& s) { s.startPendingMs = v.U32(); }},
    {"stop_pending_ms", [](const Value& v, SimService& s) { s.stopPendingMs = v.U32(); }},
    {"start_wait_hint", [](const Value& v, SimService& s) { s.startWaitHint = v.U32(); }},
    {"stop_wait_hint", [](const Value& v, SimService& s) { s.stopWaitHint = v.U32(); }},
    {"stuck_pending", [](const Value& v, SimService& s) { s.stuckPending = v.Bool(); }},
    {"refusals", [](const Value& v, SimService& s) { ReadFields<SimService>(v, s, SERVICE_REFUSAL_FIELDS); }},
};

// ---- registry ----

struct ValueSetting {
    SimRegistryValue value;
    bool hasText = false;
    bool hasHex = false;
};

std::vector<std::uint8_t> ReadHex(const Value& v)
{
    const std::string text = v.Text();
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-') {
            if (high >= 0) {
                v.Refuse("a byte is cut in half by a separator");
            }
            continue;
        }
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit < 0) {
            v.Refuse(std::string("'") + c + "' is not a hexadecimal digit");
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0) {
        v.Refuse("holds an odd number of hexadecimal digits");
    }
    return bytes;
}

constexpr ScenarioField<ValueSetting> REGISTRY_VALUE_FIELDS[] = {
    {"name", [](const Value& v, ValueSetting& s) { s.value.name = v.Text(); }, true},
    {"type",
     [](const Value& v, ValueSetting& s) { s.value.type = v.Json().is_string() ? v.Choice(REGISTRY_TYPES) : v.U32(); }},
    // Text is stored the way the platform stores REG_SZ: its bytes and a
    // terminating zero. Bytes without a terminator are written as hex.
    {"text",
     [](const Value& v, ValueSetting& s) {
         const std::string text = v.Text();
         s.value.data.assign(text.begin(), text.end());
         s.value.data.push_back(0);
         s.hasText = true;
     }},
    {"hex",
     [](const Value& v, ValueSetting& s) {
         s.value.data = ReadHex(v);
         s.hasHex = true;
     }},
};

std::string Lowercase(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

constexpr ScenarioField<SimRegistryInstance> INSTANCE_FIELDS[] = {
    {"number", [](const Value& v, SimRegistryInstance& i) { i.number = static_cast<int>(v.Integer(0, 9999)); }, true},
    {"open_refused", [](const Value& v, SimRegistryInstance& i) { i.openRefused = v.Bool(); }},
    {"values",
     [](const Value& v, SimRegistryInstance& instance) {
         std::set<std::string> names;
         for (const Value& element : v.Elements(MAX_REGISTRY_VALUES)) {
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
    {"name", [](const Value& v, MutexRelease& r) { r.name = v.NonEmptyText(); }, true},
    {"at_ms",
     [](const Value& v, MutexRelease& r) { r.atMs = static_cast<std::uint64_t>(v.Integer(0, MAX_SCENARIO_MS)); }, true},
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
    {"create_event", [](const Value& v, SimWorld& w) { w.createEvent = ReadRefusal(v); }},
    {"create_mutex", [](const Value& v, SimWorld& w) { w.createMutex = ReadRefusal(v); }},
    {"allocate_fixed", [](const Value& v, SimWorld& w) { w.allocateFixed = ReadRefusal(v); }},
};

constexpr ScenarioField<Build> TOP_FIELDS[] = {
    // Free text for the reader of the file.
    {"description", [](const Value& v, Build&) { v.Text(); }},
    // What the end-to-end tests expect of the run; not part of the world.
    {"expect", [](const Value& v, Build&) { v.RequireObject(); }},
    {"language", [](const Value& v, Build& b) { b.world->languageId = v.Id16(); }},
    {"arguments",
     [](const Value& v, Build& b) {
         b.arguments->clear();
         for (const Value& element : v.Elements(MAX_ARGUMENTS)) {
             b.arguments->push_back(element.Text());
         }
     }},
    {"time", ReadTime},
    {"foreign_devices", ReadForeignDevices},
    {"scanner",
     [](const Value& v, Build& b) {
         ReadFields<ScannerConfig>(v, b.world->scanner, SCANNER_FIELDS);
         // The world has a second switch for the same behaviour; keep them
         // in agreement so either reading of it sees the scenario's word.
         b.world->descriptorFailsOnScanner = b.world->scanner.descriptorFails;
     }},
    {"service", [](const Value& v, Build& b) { ReadFields<SimService>(v, b.world->service, SERVICE_FIELDS); }},
    {"registry", ReadRegistry},
    {"mutexes_held",
     [](const Value& v, Build& b) {
         b.world->mutexesHeldByOthers.clear();
         std::set<std::string> names;
         for (const Value& element : v.Elements(MAX_MUTEXES_HELD)) {
             const std::string name = element.NonEmptyText();
             if (!names.insert(name).second) {
                 element.Refuse("this mutex is listed twice");
             }
             b.world->mutexesHeldByOthers.push_back(name);
         }
     }},
    {"mutexes_released", ReadMutexReleases},
    {"image", [](const Value& v, Build& b) { b.world->image = static_cast<SimImage>(v.Choice(IMAGE_MODES)); }},
    {"refusals", [](const Value& v, Build& b) { ReadFields<SimWorld>(v, *b.world, WORLD_REFUSAL_FIELDS); }},
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
    try {
        const nlohmann::json document = ParseScenarioText(text);
        const Value root(document, "");
        Build build{world, arguments};
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
