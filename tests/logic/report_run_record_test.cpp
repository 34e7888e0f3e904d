// The run's record on the simulated PC: the line each outcome leaves, in
// English under a Chinese console; a disk that takes nothing; two runs at
// once; the bound; and every way a user could prepare the folder or file.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/outcome.h"
#include "common/shared.h"
#include "report/run_record.h"
#include "tests/logic/app_test_support.h"

namespace {

const std::string FOLDER = "c:\\programdata\\fwupdate";
const std::string LOG = FOLDER + "\\runs.jsonl";
const std::string OLD_LOG = LOG + ".1";
const std::string STATE_KEY = "software\\fwupdate-state";

std::vector<nlohmann::json> Lines(const std::string& path = LOG)
{
    std::vector<nlohmann::json> lines;
    const auto found = World().files.find(path);
    if (found == World().files.end()) {
        return lines;
    }
    const std::string& content = found->second.content;
    for (std::size_t at = 0; at < content.size();) {
        const std::size_t end = content.find('\n', at);
        EXPECT_NE(end, std::string::npos) << "a line without its end";
        lines.push_back(nlohmann::json::parse(content.substr(at, end - at)));
        at = end == std::string::npos ? content.size() : end + 1;
    }
    return lines;
}

std::string DigestHex()
{
    std::string hex;
    for (std::uint32_t i = 0; i < EmbeddedDigestSize(); ++i) {
        char pair[3] = {};
        std::snprintf(pair, sizeof pair, "%02x", EmbeddedDigestData()[i]);
        hex += pair;
    }
    return hex;
}

std::string Joined(const nlohmann::json& line)
{
    std::string text;
    for (const auto& message : line["messages"]) {
        text += message["text"].get<std::string>();
    }
    return text;
}

std::string KeyText(const char* name)
{
    const auto& data = World().machineKeys[STATE_KEY][name].data;
    return std::string(data.begin(), data.end() - (data.empty() ? 0 : 1));
}

struct OutcomeRow {
    const char* name;
    std::function<void()> configure;
    std::vector<std::string> args;
    const char* outcome;
    int code;
    const char* mode;
    bool lastSuccess;
};

const OutcomeRow OUTCOME_ROWS[] = {
    {"Updated", [] {}, {"/s"}, "Updated", EXIT_CODE_UPDATED, "normal", true},
    {"UpdatedAttended", [] {}, {}, "Updated", 0, "normal", true},
    {"RecoveryLoader", [] { World().scanner.recovery = true; }, {"/s"}, "Updated", 0, "recovery", true},
    {"NoScanner", [] { World().scanner.path = -1; }, {"/s"}, "NoScanner", EXIT_CODE_NO_SCANNER, "none", false},
    {"Busy",
     [] { World().mutexesHeldByOthers = {apptest::SCANNER_MUTEX}; },
     {"/s"},
     "Busy",
     EXIT_CODE_BUSY,
     "normal",
     false},
    {"ServiceRefusesToStop",
     [] { World().service.control.first = 1; },
     {"/s"},
     "FailedBeforeImage",
     EXIT_CODE_FAILED_BEFORE_IMAGE,
     "normal",
     false},
    {"BurnOutlastsTheWait",
     [] { World().scanner.burnMs = 6000 + 600000 + 1; },
     {"/s"},
     "FailedAfterImage",
     EXIT_CODE_FAILED_AFTER_IMAGE,
     "normal",
     false},
    {"ServiceWillNotStart",
     [] { World().service.start.first = 1; },
     {"/s"},
     "ServiceNotGivenBack",
     EXIT_CODE_SERVICE_NOT_GIVEN_BACK,
     "normal",
     true},
    {"ImageAltered",
     [] { World().imageFlippedByte = 100; },
     {"/s"},
     "ImageDamaged",
     EXIT_CODE_IMAGE_DAMAGED,
     "none",
     false},
    // A check that finds an update could run names no image as updating.
    {"Check", [] {}, {"/c"}, "Updated", EXIT_CODE_UPDATED, "normal", false},
};

class ReportRunRecordTest : public AppRunFixture { };

TEST_F(ReportRunRecordTest, EachOutcomeLeavesOneWholeLine)
{
    for (const OutcomeRow& row : OUTCOME_ROWS) {
        SCOPED_TRACE(row.name);
        SetUp();
        row.configure();
        const SimService before = World().service;
        const int code = Run(row.args);
        const std::vector<nlohmann::json> lines = Lines();
        ASSERT_EQ(lines.size(), 1u);
        const nlohmann::json& line = lines[0];
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(line["outcome"], row.outcome);
        EXPECT_EQ(line["exit_code"], row.code);
        EXPECT_EQ(line["switches"], nlohmann::json(row.args));
        EXPECT_EQ(line["scanner_mode"], row.mode);
        EXPECT_EQ(line["scanner_path"].is_null(), std::string(row.mode) == "none");
        EXPECT_EQ(line["image_sha256"], DigestHex());
        EXPECT_EQ(line["computer"], World().computerName);
        EXPECT_EQ(line["start_utc"], "2026-12-06T10:20:30.250Z");
        EXPECT_EQ(line["duration_ms"], World().nowMs);
        EXPECT_EQ(Joined(line), Console());
        EXPECT_EQ(line["messages_left_out"], 0);
        EXPECT_EQ(line["service_before"]["state"], before.state == SERVICE_RUNNING_STATE ? "RUNNING" : "STOPPED");
        EXPECT_EQ(line["service_after"]["state"],
                  World().serviceNow.state == SERVICE_RUNNING_STATE ? "RUNNING" : "STOPPED");
        EXPECT_EQ(World().machineKeys.count(STATE_KEY), row.lastSuccess ? 1u : 0u);
        if (row.lastSuccess) {
            EXPECT_EQ(KeyText("lastimagesha256"), DigestHex());
            EXPECT_EQ(KeyText("lastupdaterversion"), line["version"]);
        }
    }
}

// The service given back stopped after a failed start: the record shows
// the service as the run found it and as it left it.
TEST_F(ReportRunRecordTest, TheServiceIsRecordedAsFoundAndAsLeft)
{
    World().service.start.first = 1;
    Run({"/s"});
    const nlohmann::json line = Lines().at(0);
    EXPECT_EQ(line["service_before"], (nlohmann::json{{"state", "RUNNING"}, {"start_type", "AUTO_START"}}));
    EXPECT_EQ(line["service_after"]["state"], "STOPPED");
}

TEST_F(ReportRunRecordTest, AChineseConsolesRunIsRecordedInEnglish)
{
    Run({"/s"});
    const std::string english = Console();
    SetUp();
    World().languageId = 0x0404;
    Run({"/s"});
    ASSERT_NE(Console(), english);
    const nlohmann::json line = Lines().at(0);
    EXPECT_EQ(Joined(line), english);
}

// Nothing on the disk, the same code and the same console.
TEST_F(ReportRunRecordTest, AFullDiskChangesNothingOfTheRun)
{
    const int code = Run({"/s"});
    const std::string console = Console();
    SetUp();
    World().diskFreeBytes = 100;
    EXPECT_EQ(Run({"/s"}), code);
    EXPECT_EQ(Console(), console);
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(World().logAppends, 1u);
}

TEST_F(ReportRunRecordTest, TwoRunsAtOnceLeaveTwoWholeLines)
{
    World().updaterCopies.push_back(SimUpdaterCopy{5000, {"/s"}});
    Run({"/s"});
    const std::vector<nlohmann::json> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["outcome"], "Busy");
    EXPECT_EQ(lines[1]["outcome"], "Updated");
    EXPECT_NE(Joined(lines[0]).find("Device found"), std::string::npos);
}

struct RotationRow {
    const char* name;
    std::size_t sizeBefore;
    bool rotates;
};

const RotationRow ROTATION_ROWS[] = {
    {"Small", 1000, false},
    {"JustUnderTheBound", RUN_LOG_ROTATE_BYTES - 10, true},
    {"PastTheBound", RUN_LOG_ROTATE_BYTES + 10, true},
};

TEST_F(ReportRunRecordTest, AFullFileBecomesTheOldOne)
{
    for (const RotationRow& row : ROTATION_ROWS) {
        SCOPED_TRACE(row.name);
        SetUp();
        World().filesAtStart[FOLDER] = MakeSimFile(true, true);
        World().filesAtStart[LOG].content = std::string(row.sizeBefore - 1, 'x') + "\n";
        World().filesAtStart[OLD_LOG].content = "older\n";
        Run({"/s"});
        const std::string& now = World().files[LOG].content;
        EXPECT_EQ(World().files[OLD_LOG].content.size(), row.rotates ? row.sizeBefore : 6u);
        EXPECT_EQ(now.size() > row.sizeBefore, !row.rotates);
        EXPECT_LE(now.size(), RUN_LOG_ROTATE_BYTES + (row.rotates ? 0 : RUN_LINE_LIMIT));
    }
}

struct PlantRow {
    const char* name;
    std::function<void()> plant;
    RecordSkipped skipped;
};

SimFile Planted(bool folder, bool adminOnly, bool userOwned, bool reparse, std::uint32_t links = 1)
{
    SimFile file = MakeSimFile(folder, adminOnly);
    file.userOwned = userOwned;
    file.reparse = reparse;
    file.links = links;
    file.content = folder ? "" : "planted\n";
    return file;
}

const PlantRow PLANT_ROWS[] = {
    {"FirstRunMakesTheFolder", [] {}, RecordSkipped::None},
    {"FolderOfOurs", [] { World().filesAtStart[FOLDER] = Planted(true, true, false, false); }, RecordSkipped::None},
    {"UsersFolderOpenToAll", [] { World().filesAtStart[FOLDER] = Planted(true, false, true, false); },
     RecordSkipped::FolderForeignOwner},
    {"UsersFolderWithAnAdminsOnlyDacl", [] { World().filesAtStart[FOLDER] = Planted(true, true, true, false); },
     RecordSkipped::FolderForeignOwner},
    {"AdminsFolderOpenToAll", [] { World().filesAtStart[FOLDER] = Planted(true, false, false, false); },
     RecordSkipped::FolderOpenDacl},
    {"Junction", [] { World().filesAtStart[FOLDER] = Planted(true, true, false, true); },
     RecordSkipped::FolderReparsePoint},
    {"FileInTheFoldersPlace", [] { World().filesAtStart[FOLDER] = Planted(false, false, true, false); },
     RecordSkipped::FolderNotAFolder},
    {"SymbolicLinkFile",
     [] {
         World().filesAtStart[FOLDER] = Planted(true, true, false, false);
         World().filesAtStart[LOG] = Planted(false, true, false, true);
     },
     RecordSkipped::FileReparsePoint},
    {"HardLinkedFile",
     [] {
         World().filesAtStart[FOLDER] = Planted(true, true, false, false);
         World().filesAtStart[LOG] = Planted(false, true, false, false, 2);
     },
     RecordSkipped::FileHardLinked},
    {"NotElevated", [] { World().elevated = false; }, RecordSkipped::FolderNotCreated},
    {"FullDisk", [] { World().diskFreeBytes = 10; }, RecordSkipped::WriteFailed},
};

TEST_F(ReportRunRecordTest, OnlyAFolderOfAdministratorsTakesTheLine)
{
    for (const PlantRow& row : PLANT_ROWS) {
        SCOPED_TRACE(row.name);
        SetUp();
        row.plant();
        const auto planted = World().filesAtStart;
        StartWorld();
        char arg0[] = "fwupdate";
        char* argv[] = {arg0};
        BeginRunRecord(1, argv);
        const RunSummary summary = WriteRunRecord({"Updated", 0, false});
        EXPECT_EQ(RecordSkippedName(summary.skipped), std::string(RecordSkippedName(row.skipped)));
        const bool written = row.skipped == RecordSkipped::None;
        if (written) {
            EXPECT_EQ(Lines().size(), 1u);
        } else if (planted.count(LOG) == 0) {
            EXPECT_TRUE(World().files.count(LOG) == 0 || World().files[LOG].content.empty());
        }
        // Whatever a user planted keeps its bytes, and nothing is made
        // inside a folder that was refused.
        for (const auto& [path, file] : planted) {
            if (!written) {
                EXPECT_EQ(World().files[path].content, file.content) << path;
            }
        }
        if (written) {
            EXPECT_TRUE(World().files[FOLDER].adminOnly);
            EXPECT_FALSE(World().files[FOLDER].userOwned);
        } else if (planted.count(FOLDER) == 1 && planted.at(FOLDER).folder && planted.count(LOG) == 0) {
            EXPECT_EQ(World().files.count(LOG), 0u);
        }
    }
}

}  // namespace
