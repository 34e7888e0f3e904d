// Scenario keys for interruptions and later runs: each reaches its field,
// every malformed, unknown, out-of-order or out-of-range value is refused
// with the file and key path, and a caller that plays one plain run refuses
// a scenario that asks for more.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "scenario_runner/interruptions.h"
#include "scenario_runner/scenario.h"

namespace {

struct Read {
    SimWorld world;
    std::vector<std::string> arguments;
    ScenarioInterruptions interruptions;
    bool accepted = false;
    std::string error;
};

Read Apply(std::string_view text)
{
    Read result;
    ApplyDefaultWorld(&result.world, &result.arguments);
    result.accepted = ApplyScenario("f.json", std::string(text), &result.world, &result.arguments,
                                    &result.interruptions, &result.error);
    return result;
}

struct KeyCase {
    const char* name;
    const char* scenario;
    std::function<void(const ScenarioInterruptions&)> check;
};

const KeyCase KEY_CASES[] = {
    {"no keys: nothing happens to the run", R"({"arguments": ["-a"]})",
     [](const ScenarioInterruptions& i) {
         EXPECT_FALSE(i.Any());
         EXPECT_EQ(i.killAtMs, NEVER_MS);
     }},
    {"control events in order, every name",
     R"({"interruptions": {"control": [{"event": "ctrl_c", "at_ms": 1}, {"event": "ctrl_break", "at_ms": 2},
        {"event": "close", "at_ms": 3}, {"event": "logoff", "at_ms": 4}, {"at_ms": 86400000, "event": "shutdown"}]}})",
     [](const ScenarioInterruptions& i) {
         ASSERT_EQ(i.controls.size(), 5u);
         const ConsoleControl order[] = {ConsoleControl::Interrupt, ConsoleControl::Break, ConsoleControl::Close,
                                         ConsoleControl::Logoff, ConsoleControl::Shutdown};
         for (std::size_t k = 0; k < 5; ++k) {
             EXPECT_EQ(i.controls[k].event, order[k]);
         }
         EXPECT_EQ(i.controls[4].atMs, 86400000u);
         EXPECT_STREQ(ControlEventName(ConsoleControl::Logoff), "logoff");
     }},
    {"a kill after the last control event", R"({"interruptions": {"kill_at_ms": 9000,
        "control": [{"event": "ctrl_c", "at_ms": 8999}]}})",
     [](const ScenarioInterruptions& i) {
         EXPECT_EQ(i.killAtMs, 9000u);
         EXPECT_TRUE(i.Any());
     }},
    {"sleeps that touch end to end",
     R"({"interruptions": {"sleeps": [{"at_ms": 100, "length_ms": 700000}, {"at_ms": 700100, "length_ms": 1}]}})",
     [](const ScenarioInterruptions& i) {
         ASSERT_EQ(i.sleeps.size(), 2u);
         EXPECT_EQ(i.sleeps[0].lengthMs, 700000u);
         EXPECT_EQ(i.sleeps[1].atMs, 700100u);
     }},
    {"two more updaters, one with arguments",
     R"({"interruptions": {"updater_copies": [{"at_ms": 5000}, {"at_ms": 5000, "arguments": ["-b"]}]}})",
     [](const ScenarioInterruptions& i) {
         ASSERT_EQ(i.copies.size(), 2u);
         EXPECT_EQ(i.copies[0].atMs, 5000u);
         EXPECT_TRUE(i.copies[0].arguments.empty());
         EXPECT_EQ(i.copies[1].arguments, std::vector<std::string>{"-b"});
         EXPECT_TRUE(i.Any());
     }},
    {"a log-off that does not call the handler",
     R"({"interruptions": {"control": [{"event": "logoff", "at_ms": 100, "no_handler": true, "end_after_ms": 250}]}})",
     [](const ScenarioInterruptions& i) {
         ASSERT_EQ(i.controls.size(), 1u);
         EXPECT_TRUE(i.controls[0].noHandler);
         EXPECT_EQ(i.controls[0].endAfterMs, 250u);
     }},
    {"a user's program that holds a mutex",
     R"({"interruptions": {"user_mutex_holders": [{"name": "Global\\fwupdate-update", "at_ms": 10}]}})",
     [](const ScenarioInterruptions& i) {
         ASSERT_EQ(i.mutexHolders.size(), 1u);
         EXPECT_EQ(i.mutexHolders[0].name, "Global\\fwupdate-update");
         EXPECT_EQ(i.mutexHolders[0].atMs, 10u);
     }},
    {"later runs, with and without arguments", R"({"then_run": [{"arguments": ["-b"]}, {}]})",
     [](const ScenarioInterruptions& i) {
         ASSERT_EQ(i.laterRuns.size(), 2u);
         EXPECT_EQ(i.laterRuns[0], std::vector<std::string>{"-b"});
         EXPECT_TRUE(i.laterRuns[1].empty());
     }},
};

TEST(RunnerInterruptionsTest, EveryKeyReachesItsField)
{
    for (const KeyCase& c : KEY_CASES) {
        SCOPED_TRACE(c.name);
        const Read read = Apply(c.scenario);
        ASSERT_TRUE(read.accepted) << read.error;
        c.check(read.interruptions);
    }
}

struct RefusalCase {
    const char* scenario;
    const char* error;
};

const RefusalCase REFUSAL_CASES[] = {
    {R"({"interruptions": []})", "f.json: interruptions: must be an object, not an array"},
    {R"({"interruptions": {"kil_at_ms": 1}})", "f.json: interruptions.kil_at_ms: unknown key"},
    {R"({"interruptions": {"kill_at_ms": 86400001}})",
     "f.json: interruptions.kill_at_ms: out of range: must be from 0 to 86400000"},
    {R"({"interruptions": {"kill_at_ms": -1}})",
     "f.json: interruptions.kill_at_ms: out of range: must be from 0 to 86400000"},
    {R"({"interruptions": {"control": [{"event": "ctrl_z", "at_ms": 1}]}})",
     "f.json: interruptions.control[0].event: unknown value \"ctrl_z\"; must be one of \"ctrl_c\", \"ctrl_break\", "
     "\"close\", \"logoff\", \"shutdown\""},
    {R"({"interruptions": {"control": [{"event": "close"}]}})",
     "f.json: interruptions.control[0].at_ms: missing (this key is required)"},
    {R"({"interruptions": {"control": [{"event": "close", "at_ms": 5}, {"event": "ctrl_c", "at_ms": 5}]}})",
     "f.json: interruptions.control[1].at_ms: must come after the event before it (at 5)"},
    {R"({"interruptions": {"kill_at_ms": 5, "control": [{"event": "close", "at_ms": 5}]}})",
     "f.json: interruptions.control: an event at or after kill_at_ms (5) reaches no process"},
    {R"({"interruptions": {"control": [{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}]}})",
     "f.json: interruptions.control: holds 17 elements; at most 16 are allowed"},
    {R"({"interruptions": {"sleeps": [{"at_ms": 1, "length_ms": 0}]}})",
     "f.json: interruptions.sleeps[0].length_ms: out of range: must be from 1 to 604800000"},
    {R"({"interruptions": {"sleeps": [{"at_ms": 1, "length_ms": 10, "scanner_leaves_bus": true}]}})",
     "f.json: interruptions.sleeps[0].scanner_leaves_bus: unknown key"},
    {R"({"interruptions": {"sleeps": [{"at_ms": 100, "length_ms": 10}, {"at_ms": 109, "length_ms": 10}]}})",
     "f.json: interruptions.sleeps[1].at_ms: the PC is still asleep then: the sleep before it ends at 110"},
    {R"({"interruptions": {"updater_copies": [{}]}})",
     "f.json: interruptions.updater_copies[0].at_ms: missing (this key is required)"},
    {R"({"interruptions": {"updater_copies": [{"at_ms": "soon"}]}})",
     "f.json: interruptions.updater_copies[0].at_ms: must be an integer from 0 to 86400000, not text"},
    {R"({"interruptions": {"updater_copies": [{"at_ms": 9}, {"at_ms": 8}]}})",
     "f.json: interruptions.updater_copies[1].at_ms: must not come before the one before it (at 9)"},
    {R"({"interruptions": {"updater_copies": [{}, {}, {}, {}, {}]}})",
     "f.json: interruptions.updater_copies: holds 5 elements; at most 4 are allowed"},
    {R"({"interruptions": {"control": [{"event": "close", "at_ms": 5, "end_after_ms": 60001}]}})",
     "f.json: interruptions.control[0].end_after_ms: out of range: must be from 0 to 60000"},
    {R"({"interruptions": {"user_mutex_holders": [{"name": "", "at_ms": 1}]}})",
     "f.json: interruptions.user_mutex_holders[0].name: must be a mutex name of 1 to 260 bytes"},
    {R"({"interruptions": {"user_mutex_holders": [{"at_ms": 1}]}})",
     "f.json: interruptions.user_mutex_holders[0].name: missing (this key is required)"},
    {R"({"then_run": {"arguments": []}})", "f.json: then_run: must be an array, not an object"},
    {R"({"then_run": [{"args": []}]})", "f.json: then_run[0].args: unknown key"},
    {R"({"then_run": [{}, {}, {}, {}, {}]})", "f.json: then_run: holds 5 elements; at most 4 are allowed"},
};

TEST(RunnerInterruptionsTest, RefusesWithTheKeyPath)
{
    for (const RefusalCase& c : REFUSAL_CASES) {
        SCOPED_TRACE(c.scenario);
        const Read read = Apply(c.scenario);
        EXPECT_FALSE(read.accepted);
        EXPECT_EQ(read.error, c.error);
    }
}

// The single-run reader (the fuzzer's, and fwupdate-sim's until it plays
// them) must not run a scenario that asks for an interruption as if it
// were a plain one; a plain scenario still goes through it.
TEST(RunnerInterruptionsTest, ASingleRunCallerRefusesThem)
{
    const char* asking[] = {
        R"({"interruptions": {"kill_at_ms": 10}})",
        R"({"interruptions": {"sleeps": [{"at_ms": 1, "length_ms": 1}]}})",
        R"({"then_run": [{}]})",
        R"({"interruptions": {"updater_copies": [{"at_ms": 0}]}})",
        R"({"interruptions": {"user_mutex_holders": [{"name": "m", "at_ms": 0}]}})",
    };
    for (const char* scenario : asking) {
        SCOPED_TRACE(scenario);
        SimWorld world;
        std::vector<std::string> arguments;
        std::string error;
        ApplyDefaultWorld(&world, &arguments);
        EXPECT_FALSE(ApplyScenario("f.json", scenario, &world, &arguments, &error));
        EXPECT_EQ(error, "f.json: interruptions, then_run: this caller plays a single, uninterrupted run");
    }
    SimWorld world;
    std::vector<std::string> arguments;
    std::string error;
    ApplyDefaultWorld(&world, &arguments);
    EXPECT_TRUE(ApplyScenario("f.json", R"({"interruptions": {}, "then_run": []})", &world, &arguments, &error))
        << error;
}

}  // namespace
