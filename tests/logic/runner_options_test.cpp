// The simulator's own command line.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scenario_runner/runner_options.h"

namespace {

using Args = std::vector<std::string>;

struct AcceptedCase {
    Args arguments;
    std::string scenario, report;
    bool realtime;
    bool hasUpdaterArguments;
    Args updaterArguments;
};

const AcceptedCase ACCEPTED[] = {
    {{}, "", "", false, false, {}},
    {{"--scenario", "a.json", "--report", "r.json", "--realtime"}, "a.json", "r.json", true, false, {}},
    // Everything after -- belongs to the updater, options of ours included.
    {{"--scenario", "a.json", "--", "-a", "--scenario", ""}, "a.json", "", false, true, {"-a", "--scenario", ""}},
    // A lone -- says "no arguments", which overrides the scenario's own.
    {{"--"}, "", "", false, true, {}},
};

TEST(RunnerOptionsTest, Accepted)
{
    for (const AcceptedCase& c : ACCEPTED) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        RunnerOptions options;
        std::string error;
        ASSERT_TRUE(ParseRunnerOptions(c.arguments, &options, &error)) << error;
        EXPECT_EQ(options.scenarioFile, c.scenario);
        EXPECT_EQ(options.reportFile, c.report);
        EXPECT_EQ(options.realtime, c.realtime);
        EXPECT_EQ(options.hasUpdaterArguments, c.hasUpdaterArguments);
        EXPECT_EQ(options.updaterArguments, c.updaterArguments);
    }
}

struct RefusedCase {
    Args arguments;
    const char* error;
};

const RefusedCase REFUSED[] = {
    {{"--scenario"}, "--scenario needs a file name"},
    {{"--scenario", "--realtime"}, "--scenario needs a file name"},
    {{"--report", ""}, "--report needs a file name"},
    {{"--scenario", "a.json", "--scenario", "b.json"}, "--scenario given twice"},
    {{"--realtime", "--realtime"}, "--realtime given twice"},
    {{"-a"}, "unknown option \"-a\" (updater arguments go after --)"},
    {{"--scenario=a.json"}, "unknown option \"--scenario=a.json\" (updater arguments go after --)"},
};

TEST(RunnerOptionsTest, Refused)
{
    for (const RefusedCase& c : REFUSED) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        RunnerOptions options;
        std::string error;
        EXPECT_FALSE(ParseRunnerOptions(c.arguments, &options, &error));
        EXPECT_EQ(error, c.error);
    }
}

}  // namespace
