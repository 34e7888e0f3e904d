// The run report: digests as text, the mutex lists, the service before and
// after, what the scanner received, and the clock it holds at the end.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "scenario_runner/report.h"

namespace {

void PutClock(SimWorld* world, const std::int32_t fields[9], std::uint64_t setAtMs, std::uint64_t nowMs)
{
    world->model.clockHeld = true;
    for (int i = 0; i < 9; ++i) {
        const auto field = static_cast<std::uint32_t>(fields[i]);
        for (int b = 0; b < 4; ++b) {
            world->model.clockRecord[i * 4 + b] = static_cast<std::uint8_t>(field >> (8 * b));
        }
    }
    world->model.clockSetAtMs = setAtMs;
    world->nowMs = nowMs;
}

TEST(RunnerReportTest, HexTextIsLowerCaseTwoDigitsPerByte)
{
    const std::uint8_t bytes[] = {0x00, 0x0F, 0xA0, 0xFF};
    EXPECT_EQ(HexText(bytes, sizeof bytes), "000fa0ff");
    EXPECT_EQ(HexText(bytes, 0), "");
}

TEST(RunnerReportTest, TextsThatAreNotUtf8AreEscapedBytewise)
{
    const struct {
        std::string bytes;
        std::string written;
    } cases[] = {
        {"Global\\ORVANE_SCAN_EXT_APP_MUTEX_Orvane DS-1200", "Global\\ORVANE_SCAN_EXT_APP_MUTEX_Orvane DS-1200"},
        {"\xe4\xb8\xad \xf0\x9f\x98\x80", "\xe4\xb8\xad \xf0\x9f\x98\x80"},  // well-formed: as it is
        {"M_\xa4\xa4\xa4\xe5", "M_\\xa4\\xa4\\xa4\\xe5"},                    // code page 950
        {std::string("a\0b", 3), std::string("a\0b", 3)},                    // JSON escapes it
        {"\xc0\xaf", "\\xc0\\xaf"},                                          // overlong '/'
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                                 // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},                        // past U+10FFFF
        {"\xe4\xb8", "\\xe4\\xb8"},                                          // cut short
        {"\\x41 \\xg1 \\x4", "\\x5cx41 \\xg1 \\x4"},                         // only a backslash that reads as an escape
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.written);
        EXPECT_EQ(ReportString(c.bytes), c.written);
    }
}

// A mutex as the report finds it: who made it, and the first process's
// ownership count.
SimMutex MutexOf(const std::string& name, bool heldByOther, int createdBy, int ownership)
{
    SimMutex mutex;
    mutex.name = name;
    mutex.heldByOther = heldByOther;
    mutex.createdBy = createdBy;
    mutex.owner = ownership > 0 ? 0 : NO_PROCESS;
    mutex.ownership = ownership;
    return mutex;
}

TEST(RunnerReportTest, ReportWithAnyMutexNameReadsBackAsJson)
{
    SimWorld world{};  // the scanner model has no initialisers of its own
    const std::string cp950 = "Global\\ORVANE_SCAN_EXT_APP_MUTEX_\xa4\xa4\xa4\xe5";
    world.mutexes[cp950] = MutexOf(cp950, false, 0, 1);

    const std::string text = ReportText(world, world.service, 0, RunEnd::Return);

    const nlohmann::json report = nlohmann::json::parse(text);
    const char* written = "Global\\ORVANE_SCAN_EXT_APP_MUTEX_\\xa4\\xa4\\xa4\\xe5";
    EXPECT_EQ(report["mutexes"]["created"], nlohmann::json::array({written}));
    EXPECT_EQ(report["mutexes"]["owned_at_exit"], nlohmann::json::array({written}));
    EXPECT_EQ(text.back(), '\n');
}

struct ClockCase {
    const char* name;
    const char* zone;
    std::int32_t fields[9];
    std::uint64_t setAtMs, nowMs;
    const char* expected;
};

const ClockCase CLOCK_CASES[] = {
    // What a handshake on 6 December sends: month 0 of year 127.
    {"held 32 s in Berlin", "Europe/Berlin", {31, 20, 10, 6, 0, 127, 3, 5, 0}, 1000, 33000, "2027-01-06T10:21:03"},
    // The record as it arrived (month 12) is carried into the next year the
    // way the scanner's own calendar reads it.
    {"unnormalised record", "UTC", {30, 20, 10, 6, 12, 126, 0, 0, -1}, 0, 0, "2027-01-06T10:20:30"},
    // 20 s across the spring change: 02:00 never happens in Berlin.
    {"across a daylight-saving change",
     "Europe/Berlin",
     {50, 59, 1, 29, 2, 126, 0, 0, -1},
     500,
     20500,
     "2026-03-29T03:00:10"},
};

TEST(RunnerReportTest, ScannerClockIsTheReceivedRecordAdvanced)
{
    for (const ClockCase& c : CLOCK_CASES) {
        SCOPED_TRACE(c.name);
        SimWorld world{};  // the scanner model has no initialisers of its own
        world.timeZone = c.zone;
        PutClock(&world, c.fields, c.setAtMs, c.nowMs);
        EXPECT_EQ(ScannerClockText(world), c.expected);
    }
}

TEST(RunnerReportTest, ListsMutexesTheUpdaterCreatedAndStillOwns)
{
    SimWorld world{};                                                // the scanner model has no initialisers of its own
    world.mutexes["Global\\A"] = MutexOf("Global\\A", false, 0, 0);  // created, released
    world.mutexes["B"] = MutexOf("B", false, 0, 2);                  // created, still owned
    world.mutexes["C"] = MutexOf("C", true, NO_PROCESS, 0);          // another application's

    const nlohmann::json report = BuildReport(world, world.service, 0, RunEnd::Return);

    EXPECT_EQ(report["mutexes"]["created"], nlohmann::json::parse(R"(["B", "Global\\A"])"));
    EXPECT_EQ(report["mutexes"]["owned_at_exit"], nlohmann::json::parse(R"(["B"])"));
}

TEST(RunnerReportTest, ServiceBeforeAndAfterAndHowTheRunEnded)
{
    SimWorld world{};  // the scanner model has no initialisers of its own
    world.nowMs = 30000;
    SimService before;
    before.state = SERVICE_RUNNING_STATE;
    before.startType = SERVICE_DEMAND_START_TYPE;
    world.serviceNow.installed = true;
    world.serviceNow.state = SERVICE_STOPPED_STATE;
    world.serviceNow.startType = SERVICE_DISABLED_TYPE;

    const nlohmann::json report = BuildReport(world, before, 0, RunEnd::ProcessExit);

    EXPECT_EQ(report["ended_by"], "process_exit");
    EXPECT_EQ(report["exit_code"], 0);
    EXPECT_EQ(report["virtual_ms"], 30000);
    EXPECT_EQ(report["service"]["before"],
              nlohmann::json::parse(R"({"installed": true, "state": "running", "start_type": "manual"})"));
    EXPECT_EQ(report["service"]["after"],
              nlohmann::json::parse(R"({"installed": true, "state": "stopped", "start_type": "disabled"})"));
    EXPECT_EQ(BuildReport(world, before, 0, RunEnd::Return)["ended_by"], "return");
}

TEST(RunnerReportTest, ScannerFactsOnlyWhatArrivedWhole)
{
    SimWorld world{};  // the scanner model has no initialisers of its own
    // An announcement whose image stopped half-way: the count, no digest.
    world.model.downloads = 1;
    world.model.downloadParam = 4;
    world.model.imageBytes = 1000;
    nlohmann::json report = BuildReport(world, world.service, 0, RunEnd::Return);
    EXPECT_EQ(report["scanner"]["download_param"], 4);
    EXPECT_EQ(report["scanner"]["image_bytes"], 1000);
    EXPECT_TRUE(report["scanner"]["image_sha256"].is_null());

    world.model.imageComplete = true;
    std::memset(world.model.imageSha256, 0xAB, 32);
    report = BuildReport(world, world.service, 0, RunEnd::Return);
    EXPECT_EQ(report["scanner"]["image_sha256"], "abababababababababababababababababababababababababababababababab");
    EXPECT_EQ(report["embedded_image"]["bytes"], EmbeddedImageSize());
}

}  // namespace
