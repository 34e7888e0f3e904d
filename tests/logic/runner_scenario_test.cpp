// Scenario files: each key reaches the world field it names, the scenario
// runner's defaults hold where a file is silent, and every malformed, unknown,
// mistyped or out-of-range value is refused with the file and key path.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "scenario_runner/scenario.h"
#include "scenario_runner/scenario_reader.h"

namespace {

struct Applied {
    SimWorld world;
    std::vector<std::string> arguments;
    bool accepted = false;
    std::string error;
};

Applied Apply(std::string_view text)
{
    Applied result;
    ApplyDefaultWorld(&result.world, &result.arguments);
    result.accepted = ApplyScenario("f.json", std::string(text), &result.world, &result.arguments, &result.error);
    return result;
}

std::vector<std::uint8_t> Bytes(const char* text, std::size_t size)
{
    return std::vector<std::uint8_t>(text, text + size);
}

// ---- every key reaches its field ----

struct KeyCase {
    const char* name;
    const char* scenario;
    std::function<void(const Applied&)> check;
};

const KeyCase KEY_CASES[] = {
    {"language as a number", R"({"language": 2052})", [](const Applied& a) { EXPECT_EQ(a.world.languageId, 0x0804); }},
    {"local time read in its zone (summer time in Berlin is UTC+2)",
     R"({"time": {"local": "2026-07-01T12:00:00.5", "zone": "Europe/Berlin", "tick_start": 4294960000}})",
     [](const Applied& a) {
         EXPECT_EQ(a.world.localTimeAtStart, 1782900000);  // 2026-07-01 10:00:00 UTC
         EXPECT_EQ(a.world.millisecondsAtStart, 500);
         EXPECT_EQ(a.world.timeZone, "Europe/Berlin");
         EXPECT_EQ(a.world.tickAtStart, 4294960000u);
     }},
    {"the last second of 1969 is a start time like any other",
     R"({"time": {"local": "1969-12-31T23:59:59", "zone": "UTC"}})",
     [](const Applied& a) { EXPECT_EQ(a.world.localTimeAtStart, -1); }},
    {"a POSIX rule with a quoted name and minutes", R"({"time": {"zone": "<+0330>-3:30"}})",
     [](const Applied& a) { EXPECT_EQ(a.world.timeZone, "<+0330>-3:30"); }},
    {"a zone alone keeps the start instant", R"({"time": {"zone": "Asia/Taipei"}})",
     [](const Applied& a) {
         EXPECT_EQ(a.world.localTimeAtStart, 1796552430);
         EXPECT_EQ(a.world.timeZone, "Asia/Taipei");
     }},
    {"scanner busy state and the sibling model's id",
     R"({"scanner": {"product_id": "0x39C1", "descriptor_fails": true, "busy_state": 5, "busy_for_ms": 2500}})",
     [](const Applied& a) {
         EXPECT_EQ(a.world.scanner.productId, 0x39C1);
         EXPECT_TRUE(a.world.scanner.descriptorFails);
         EXPECT_TRUE(a.world.descriptorFailsOnScanner);
         EXPECT_EQ(a.world.scanner.busyState, 5);
         EXPECT_EQ(a.world.scanner.busyForMs, 2500u);
     }},
    {"scripted clock reply goes out little-endian",
     R"({"scanner": {"clock_reply": [30, 20, 10, 6, 0, 127, 3, 5, -1], "clock_skew_seconds": -7}})",
     [](const Applied& a) {
         const ScannerConfig& s = a.world.scanner;
         EXPECT_TRUE(s.clockScripted);
         EXPECT_EQ(s.clockSkewSeconds, -7);
         const std::uint8_t expected[36] = {30, 0, 0,   0, 20, 0, 0, 0, 10, 0, 0, 0, 6, 0, 0,    0,    0,    0,
                                            0,  0, 127, 0, 0,  0, 3, 0, 0,  0, 5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
         EXPECT_EQ(std::memcmp(s.clockReply, expected, 36), 0);
     }},
    {"faults with their defaults",
     R"({"scanner": {"faults": [{"direction": "read", "kind": "partial", "first": 4, "count": 2, "amount": 20},
                                {"direction": "write", "kind": "stall"}]}})",
     [](const Applied& a) {
         const ScannerConfig& s = a.world.scanner;
         ASSERT_EQ(s.faultCount, 2u);
         EXPECT_EQ(s.faults[0].amount, 20u);
         EXPECT_EQ(s.faults[1].kind, SIM_FAULT_STALL);
         EXPECT_EQ(s.faults[1].first, 1u);
         EXPECT_EQ(s.faults[1].count, 1u);
         EXPECT_EQ(s.faults[1].amount, 0u);
     }},
    {"a scanner silent by count alone", R"({"scanner": {"silent": {"after_transfers": 0}}})",
     [](const Applied& a) {
         EXPECT_TRUE(a.world.scanner.silentByCount);
         EXPECT_EQ(a.world.scanner.silentAfterTransfers, 0u);
         EXPECT_FALSE(a.world.scanner.silentByTime);
     }},
    {"a scanner silent by count or time, whichever comes first",
     R"({"scanner": {"silent": {"after_transfers": 7, "from_ms": 9007199254740992}}})",
     [](const Applied& a) {
         EXPECT_TRUE(a.world.scanner.silentByCount);
         EXPECT_EQ(a.world.scanner.silentAfterTransfers, 7u);
         EXPECT_TRUE(a.world.scanner.silentByTime);
         EXPECT_EQ(a.world.scanner.silentFromMs, 9007199254740992u);
     }},
    {"a service slow to stop and to start", R"({"service": {"control_takes_ms": 31000, "start_takes_ms": 2500}})",
     [](const Applied& a) {
         EXPECT_EQ(a.world.service.controlTakesMs, 31000u);
         EXPECT_EQ(a.world.service.startTakesMs, 2500u);
     }},
    {"the console: QuickEdit off, selections by click (the default) and from the menu",
     R"({"console": {"quick_edit": false, "selections": [{"at_ms": 5000, "length_ms": 86400000},
                                                         {"at_ms": 0, "length_ms": 1, "by": "menu"}]}})",
     [](const Applied& a) {
         EXPECT_FALSE(a.world.quickEditAtStart);
         ASSERT_EQ(a.world.consoleSelections.size(), 2u);
         EXPECT_EQ(a.world.consoleSelections[0].atMs, 5000u);
         EXPECT_EQ(a.world.consoleSelections[0].lengthMs, 86400000u);
         EXPECT_TRUE(a.world.consoleSelections[0].byClick);
         EXPECT_EQ(a.world.consoleSelections[1].lengthMs, 1u);
         EXPECT_FALSE(a.world.consoleSelections[1].byClick);
     }},
    {"service by name",
     R"({"service": {"installed": false, "state": "stop_pending", "start_type": "manual", "running_controls": 1,
                     "start_pending_ms": 10, "stop_pending_ms": 20, "start_wait_hint": 30, "stop_wait_hint": 40,
                     "stuck_pending": true}})",
     [](const Applied& a) {
         const SimService& s = a.world.service;
         EXPECT_FALSE(s.installed);
         EXPECT_EQ(s.state, 3u);
         EXPECT_EQ(s.startType, 3u);
         EXPECT_EQ(s.runningControls, 1u);
         EXPECT_EQ(s.startPendingMs, 10u);
         EXPECT_EQ(s.stopPendingMs, 20u);
         EXPECT_EQ(s.startWaitHint, 30u);
         EXPECT_EQ(s.stopWaitHint, 40u);
         EXPECT_TRUE(s.stuckPending);
     }},
    {"service refusals: a refusal without count lasts, its error defaults to access denied",
     R"({"service": {"refusals": {"query_config": {"first": 2, "count": 1, "error": 1060}, "start": {"first": 1}}}})",
     [](const Applied& a) {
         const SimService& s = a.world.service;
         EXPECT_TRUE(s.queryConfig.Applies(2));
         EXPECT_FALSE(s.queryConfig.Applies(3));
         EXPECT_EQ(s.queryConfig.error, 1060u);
         EXPECT_TRUE(s.start.Applies(1000000));
         EXPECT_EQ(s.start.error, 5u);
         EXPECT_FALSE(s.control.Applies(1));
     }},
    {"registry text gets its terminating zero, hex is taken as is",
     R"({"registry": [{"number": 12, "open_refused": true, "values": [
            {"name": "FriendlyName", "text": "DS"},
            {"name": "CreateFileName", "type": "REG_BINARY", "hex": "5c 5C:2e-5c"},
            {"name": "MatchingDeviceId", "type": 4, "hex": ""}]}]})",
     [](const Applied& a) {
         ASSERT_EQ(a.world.registry.size(), 1u);
         const SimRegistryInstance& i = a.world.registry[0];
         EXPECT_EQ(i.number, 12);
         EXPECT_TRUE(i.openRefused);
         ASSERT_EQ(i.values.size(), 3u);
         EXPECT_EQ(i.values[0].type, 1u);
         EXPECT_EQ(i.values[0].data, Bytes("DS", 3));
         EXPECT_EQ(i.values[1].type, 3u);
         EXPECT_EQ(i.values[1].data, Bytes("\\\\.\\", 4));
         EXPECT_EQ(i.values[2].type, 4u);
         EXPECT_TRUE(i.values[2].data.empty());
     }},
    {"creation refusals",
     R"({"refusals": {"create_event": {"first": 3, "count": 1}, "create_mutex": {"first": 1},
                      "allocate_fixed": {"first": 2, "error": 8}}})",
     [](const Applied& a) {
         EXPECT_TRUE(a.world.createEvent.Applies(3));
         EXPECT_FALSE(a.world.createEvent.Applies(4));
         EXPECT_TRUE(a.world.createMutex.Applies(7));
         EXPECT_FALSE(a.world.allocateFixed.Applies(1));
         EXPECT_TRUE(a.world.allocateFixed.Applies(2));
         EXPECT_EQ(a.world.allocateFixed.error, 8u);
     }},
};

TEST(RunnerScenarioTest, EveryKeyReachesItsField)
{
    for (const KeyCase& c : KEY_CASES) {
        SCOPED_TRACE(c.name);
        const Applied applied = Apply(c.scenario);
        ASSERT_TRUE(applied.accepted) << applied.error;
        c.check(applied);
    }
}

TEST(RunnerScenarioTest, DefaultWorldReplacesWhatAPreviousRunLeft)
{
    SimWorld world;
    world.languageId = 0x0404;
    std::vector<std::string> arguments{"-a"};
    ApplyDefaultWorld(&world, &arguments);
    EXPECT_TRUE(arguments.empty());
    EXPECT_EQ(world.languageId, 0x0409);
    ASSERT_EQ(world.registry.size(), 1u);
    ASSERT_EQ(world.registry[0].values.size(), 3u);
    EXPECT_EQ(world.registry[0].values[2].name, "FriendlyName");
    EXPECT_EQ(world.registry[0].values[2].data, Bytes("Orvane DS-1200", 15));
}

// ---- refusals ----

struct RefusalCase {
    std::string_view scenario;
    const char* error;
};

using namespace std::string_view_literals;

const RefusalCase REFUSAL_CASES[] = {
    // structure
    {R"(["scanner"])", "f.json: (top level): must be an object, not an array"},
    {R"({"registry": [{"number": 0}, {"number": 1, "values": [{"nme": "x", "text": ""}]}]})",
     "f.json: registry[1].values[0].nme: unknown key"},
    {R"({"language": 1, "language": 2})", "f.json: language: appears twice in one object"},
    // types and ranges
    {R"({"scanner": {"burn_ms": true}})",
     "f.json: scanner.burn_ms: must be an integer from 0 to 4294967295, not a boolean"},
    {R"({"scanner": {"burn_ms": 1.5}})",
     "f.json: scanner.burn_ms: must be an integer from 0 to 4294967295, not a fraction"},
    {R"({"scanner": {"burn_ms": 4294967296}})", "f.json: scanner.burn_ms: out of range: must be from 0 to 4294967295"},
    {R"({"scanner": {"clock_skew_seconds": 18446744073709551615}})",
     "f.json: scanner.clock_skew_seconds: out of range: must be from -2147483648 to 2147483647"},
    {R"({"scanner": {"recovery": 1}})", "f.json: scanner.recovery: must be true or false, not an integer"},
    {R"({"language": "0x12345"})",
     "f.json: language: must be an integer or text 0x followed by 1 to 4 hexadecimal digits, not \"0x12345\""},
    {R"({"language": "0x04g4"})", "f.json: language: \"0x04g4\" is not hexadecimal"},
    {R"({"arguments": ["-a", 7]})", "f.json: arguments[1]: must be text, not an integer"},
    {R"({"service": {"state": "started"}})",
     "f.json: service.state: unknown value \"started\"; must be one of \"stopped\", \"start_pending\", "
     "\"stop_pending\", \"running\", \"continue_pending\", \"pause_pending\", \"paused\""},
    {R"({"service": {"refusals": {"start": {"first": 0}}}})",
     "f.json: service.refusals.start.first: out of range: must be from 1 to 4294967295"},
    {R"({"service": {"refusals": {"start": {"count": 2}}}})",
     "f.json: service.refusals.start.first: missing (this key is required)"},
    {R"({"mutexes_held": [""]})", "f.json: mutexes_held[0]: may not be empty"},
    {R"({"mutexes_held": ["m", "m"]})", "f.json: mutexes_held[1]: this mutex is listed twice"},
    {R"({"mutexes_held": ["m"], "mutexes_released": [{"name": "n", "at_ms": 1}]})",
     "f.json: mutexes_released[0].name: this mutex is not in mutexes_held"},
    {R"({"mutexes_held": ["m"], "mutexes_released": [{"name": "m", "at_ms": 1}, {"name": "m", "at_ms": 2}]})",
     "f.json: mutexes_released[1].name: this mutex is listed twice"},
    // sizes of the scanner's fixed tables
    {R"({"scanner": {"script": [0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,
                                0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}})",
     "f.json: scanner.script: holds 65 elements; at most 64 are allowed"},
    {R"({"scanner": {"clock_reply": [0, 0, 0, 0, 0, 0, 0, 0]}})",
     "f.json: scanner.clock_reply: must hold exactly 9 integers (tm_sec .. tm_isdst)"},
    // faults and absences
    {R"({"scanner": {"faults": [{"direction": "write", "kind": "short"}]}})",
     "f.json: scanner.faults[0].amount: missing (this key is required)"},
    {R"({"scanner": {"faults": [{"direction": "read", "kind": "partial", "amount": 0}]}})",
     "f.json: scanner.faults[0].amount: must be at least 1 for this kind of fault"},
    {R"({"scanner": {"faults": [{"direction": "read", "kind": "call_fails", "amount": 3}]}})",
     "f.json: scanner.faults[0].amount: only faults of kind \"short\" and \"partial\" take an amount"},
    {R"({"scanner": {"absences": [{"from_ms": 500, "to_ms": 500, "then_path": 1}]}})",
     "f.json: scanner.absences[0].to_ms: must come after from_ms"},
    // kinds of fault that no PC shows, and what replaces them
    {R"({"scanner": {"faults": [{"direction": "read", "kind": "stall"}, {"direction": "write", "kind": "wait_timeout"}]}})",
     "f.json: scanner.faults[1].kind: this kind of fault does not exist: a call on the scanner's synchronous handle "
     "returns complete, its event set and its outcome ready; use scanner.silent or the kind \"stall\""},
    {R"({"scanner": {"faults": [{"direction": "read", "kind": "result_fails"}]}})",
     "f.json: scanner.faults[0].kind: this kind of fault does not exist: a call on the scanner's synchronous handle "
     "returns complete, its event set and its outcome ready; use scanner.silent or the kind \"stall\""},
    {R"({"scanner": {"faults": [{"direction": "read", "kind": "hang"}]}})",
     "f.json: scanner.faults[0].kind: unknown value \"hang\"; must be one of \"call_fails\", \"short\", "
     "\"partial\", \"empty\", \"stall\""},
    {R"({"scanner": {"faults": [{"direction": "write", "kind": "stall", "amount": 1}]}})",
     "f.json: scanner.faults[0].amount: only faults of kind \"short\" and \"partial\" take an amount"},
    // the silent scanner
    {R"({"scanner": {"silent": {}}})", "f.json: scanner.silent: needs \"after_transfers\", \"from_ms\" or both"},
    {R"({"scanner": {"silent": true}})", "f.json: scanner.silent: must be an object, not a boolean"},
    {R"({"scanner": {"silent": {"after": 3}}})", "f.json: scanner.silent.after: unknown key"},
    {R"({"scanner": {"silent": {"from_ms": -1}}})",
     "f.json: scanner.silent.from_ms: out of range: must be from 0 to 9007199254740992"},
    {R"({"scanner": {"silent": {"after_transfers": 4294967296}}})",
     "f.json: scanner.silent.after_transfers: out of range: must be from 0 to 4294967295"},
    // the service's timing, time-outs refused
    {R"({"service": {"control_takes_ms": 1.5}})",
     "f.json: service.control_takes_ms: must be an integer from 0 to 4294967295, not a fraction"},
    {R"({"service": {"start_takes_ms": -1}})",
     "f.json: service.start_takes_ms: out of range: must be from 0 to 4294967295"},
    {R"({"refusals": {"set_timeouts": {"count": 1}}})", "f.json: refusals.set_timeouts.first: missing (this key is "
                                                        "required)"},
    // the console
    {R"({"console": {"quick_edit": 0}})", "f.json: console.quick_edit: must be true or false, not an integer"},
    {R"({"console": {"selections": [{"at_ms": 10, "length_ms": 1, "by": "drag"}]}})",
     "f.json: console.selections[0].by: unknown value \"drag\"; must be one of \"click\", \"menu\""},
    {R"({"console": {"selections": [{"at_ms": 10, "length_ms": 0}]}})",
     "f.json: console.selections[0].length_ms: out of range: must be from 1 to 86400000"},
    {R"({"console": {"selections": [{"at_ms": 10, "length_ms": 86400001}]}})",
     "f.json: console.selections[0].length_ms: out of range: must be from 1 to 86400000"},
    {R"({"console": {"selections": [{"length_ms": 10}]}})",
     "f.json: console.selections[0].at_ms: missing (this key is required)"},
    {R"({"console": {"selection": []}})", "f.json: console.selection: unknown key"},
    {R"({"console": {"selections": [{"at_ms":0,"length_ms":1},{"at_ms":0,"length_ms":1},{"at_ms":0,"length_ms":1},
                                    {"at_ms":0,"length_ms":1},{"at_ms":0,"length_ms":1},{"at_ms":0,"length_ms":1},
                                    {"at_ms":0,"length_ms":1},{"at_ms":0,"length_ms":1},{"at_ms":0,"length_ms":1},
                                    {"at_ms":0,"length_ms":1},{"at_ms":0,"length_ms":1},{"at_ms":0,"length_ms":1},
                                    {"at_ms":0,"length_ms":1},{"at_ms":0,"length_ms":1},{"at_ms":0,"length_ms":1},
                                    {"at_ms":0,"length_ms":1},{"at_ms":0,"length_ms":1}]}})",
     "f.json: console.selections: holds 17 elements; at most 16 are allowed"},
    // registry
    {R"({"registry": [{"number": 3}, {"number": 3}]})", "f.json: registry[1].number: instance 3 is listed twice"},
    {R"({"registry": [{"number": 0, "values": [{"name": "A", "text": ""}, {"name": "a", "text": ""}]}]})",
     "f.json: registry[0].values[1].name: the instance holds a value of this name already"},
    {R"({"registry": [{"number": 0, "values": [{"name": "A", "hex": "414"}]}]})",
     "f.json: registry[0].values[0].hex: holds an odd number of hexadecimal digits"},
    {R"({"registry": [{"number": 0, "values": [{"name": "A", "hex": "4 1"}]}]})",
     "f.json: registry[0].values[0].hex: a byte is cut in half by a separator"},
    {R"({"registry": [{"number": 0, "values": [{"name": "A", "type": "REG_TEXT", "text": ""}]}]})",
     "f.json: registry[0].values[0].type: unknown value \"REG_TEXT\"; must be one of \"REG_NONE\", \"REG_SZ\", "
     "\"REG_EXPAND_SZ\", \"REG_BINARY\", \"REG_DWORD\", \"REG_DWORD_BIG_ENDIAN\", \"REG_LINK\", \"REG_MULTI_SZ\", "
     "\"REG_QWORD\""},
    // devices on the same path
    {R"({"foreign_devices": [{"path": 0}]})",
     "f.json: foreign_devices[0].path: path 0 is the scanner's (scanner.path)"},
    {R"({"foreign_devices": [{"path": 4}, {"path": 4}]})",
     "f.json: foreign_devices[1].path: path 4 holds another device already"},
    // time
    {R"({"time": {"local": "2026-02-29T10:00:00"}})",
     "f.json: time.local: \"2026-02-29T10:00:00\" is not a local time YYYY-MM-DDTHH:MM:SS[.mmm] that exists in "
     "zone UTC"},
    // zones the C library would quietly take for something else
    {R"({"time": {"zone": "leapseconds"}})",
     "f.json: time.zone: unknown time zone \"leapseconds\" (a name under /usr/share/zoneinfo or a POSIX TZ rule)"},
    {R"({"time": {"zone": "ABC+99"}})",
     "f.json: time.zone: unknown time zone \"ABC+99\" (a name under /usr/share/zoneinfo or a POSIX TZ rule)"},
    {R"({"time": {"zone": "CET-1CEST,garbage,junk"}})",
     "f.json: time.zone: unknown time zone \"CET-1CEST,garbage,junk\" (a name under /usr/share/zoneinfo or a POSIX "
     "TZ rule)"},
    // errors of the JSON library itself, with their line and column
    {"{\"scanner\": {\"burn_ms\": 1e400}}", "f.json: line 1, column 29: number overflow parsing '1e400'"},
    {"{\"expect\": {\"virtual_ms\":\n  -1E+400}}", "f.json: line 2, column 9: number overflow parsing '-1E+400'"},
    {"{}\0more"sv, "f.json: line 1, column 3: a NUL byte: a scenario is text, and nothing may follow its value"},
    {"{\"language\": 1 /* \0 */}"sv,
     "f.json: line 1, column 19: a NUL byte: a scenario is text, and nothing may follow its value"},
    {"{} {}", "f.json: line 1, column 4: syntax error while parsing value - unexpected '{'; expected end of input"},
    {std::string_view("[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[", 65),
     "f.json: [0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0]"
     "[0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0]: nested more than "
     "64 levels deep"},
    // what is quoted from the file cannot start a line of its own
    {R"({"image": "present\nfwupdate-sim: all good"})",
     "f.json: image: unknown value \"present\\nfwupdate-sim: all good\"; must be one of \"present\", \"missing\", "
     "\"not_loadable\", \"empty\""},
    {R"({"scanner": {"tab\there\r\u001b[2J": 1}})", "f.json: scanner.tab\\there\\r\\x1b[2J: unknown key"},
    {"{\"language\": \"0x\xc3\xa9\x7f\"}", "f.json: language: \"0x\\xc3\\xa9\\x7f\" is not hexadecimal"},
    {"{\"image\": \"\xa4\xa4\"}",
     "f.json: line 1, column 12: syntax error while parsing value - invalid string: ill-formed UTF-8 byte; last "
     "read: '\"\\xa4'"},
};

TEST(RunnerScenarioTest, RefusesWithFileAndKeyPath)
{
    for (const RefusalCase& c : REFUSAL_CASES) {
        SCOPED_TRACE(std::string(c.scenario));
        const Applied applied = Apply(c.scenario);
        EXPECT_FALSE(applied.accepted);
        EXPECT_EQ(applied.error, c.error);
    }
}

// ---- reading the file ----

TEST(RunnerScenarioTest, ReadsOnlyRegularFilesUpToTheCap)
{
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("runner_scenario_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(folder);
    // Files of a given size without writing every byte: the bytes past the
    // start read as zeros.
    auto sized = [&folder](const char* name, std::uintmax_t size) {
        const std::filesystem::path path = folder / name;
        std::ofstream(path, std::ios::binary) << "{}";
        std::filesystem::resize_file(path, size);
        return path.string();
    };
    const struct {
        std::string file;
        bool read;
        std::string error;
    } cases[] = {
        {sized("at_cap.json", SCENARIO_MAX_BYTES), true, ""},
        {sized("over_cap.json", SCENARIO_MAX_BYTES + 1), false, "4194305 bytes; a scenario may hold at most 4194304"},
        {folder.string(), false, "not a regular file"},
        {"/dev/zero", false, "not a regular file"},
        {(folder / "absent.json").string(), false, "cannot be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::string text = "unchanged", error;
        ASSERT_EQ(ReadScenarioFile(c.file, &text, &error), c.read);
        if (c.read) {
            EXPECT_EQ(text.size(), SCENARIO_MAX_BYTES);
            EXPECT_EQ(text.substr(0, 3), std::string("{}\0", 3));
        } else {
            EXPECT_EQ(error, c.file + ": " + c.error);
            EXPECT_EQ(text, "unchanged");
        }
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
