// The record of each run: one JSON line appended to
// %ProgramData%\fwupdate\runs.jsonl, and the image that last updated a
// scanner here under HKLM\SOFTWARE\fwupdate-state. Neither ever changes what
// the run does or prints: a record that cannot be written is skipped, and
// the reason handed back.
#pragma once
#include <cstdint>

// Past this size the file becomes runs.jsonl.1 (one old file kept) before
// the next line goes in: a run's line is a few kilobytes, so the bound
// holds hundreds of runs, and two files keep the folder under 2.1 MB.
constexpr std::uint64_t RUN_LOG_ROTATE_BYTES = 1024 * 1024;
// A line is cut, message by message, before it passes this size.
constexpr std::uint32_t RUN_LINE_LIMIT = 60000;

inline constexpr const char* RUN_LOG_FOLDER = "fwupdate";
inline constexpr const char* RUN_LOG_FILE = "runs.jsonl";
inline constexpr const char* RUN_LOG_OLD_FILE = "runs.jsonl.1";
// Not the service record's key, whose existence means a dead run owes the
// service.
inline constexpr const char* LAST_SUCCESS_KEY = "SOFTWARE\\fwupdate-state";
inline constexpr const char* LAST_SUCCESS_SHA256 = "LastImageSha256";
inline constexpr const char* LAST_SUCCESS_VERSION = "LastUpdaterVersion";
inline constexpr const char* LAST_SUCCESS_TIME = "LastSuccessUtc";

// Why the line was not written.
enum class RecordSkipped : std::uint8_t {
    None,
    NotBegun,            // the run kept no journal
    NoProgramData,       // the ProgramData folder's path could not be read
    FolderNotCreated,    // the folder was missing and could not be made
    FolderReparsePoint,  // a junction or link has the folder's name
    FolderNotAFolder,    // a file has the folder's name
    FolderForeignOwner,  // the folder is owned by another account
    FolderOpenDacl,      // the folder lets others in
    FolderUnreadable,    // the folder or its descriptor could not be read
    FileReparsePoint,    // the file is a link
    FileHardLinked,      // the file has another name too
    FileNotOpened,       // the file could not be opened
    WriteFailed,         // the write did not take the whole line (a full disk)
};
// Its name in lower case with underscores ("folder_open_dacl").
const char* RecordSkippedName(RecordSkipped reason);

// How the run ended, as the record gives it.
struct RunEnd {
    const char* outcome = "";  // the outcome's name
    int exitCode = 0;
    bool scannerUpdated = false;  // the update's own success; never a check's
};

// What the record made of the run, for whoever reports the run elsewhere.
struct RunSummary {
    const char* outcome = "";
    int exitCode = 0;
    RecordSkipped skipped = RecordSkipped::NotBegun;
    std::uint32_t error = 0;          // the platform's error behind the skip, when one is known
    bool lastSuccessWritten = false;  // the last-success value took this run's image
};

// The run's start: its time, its switches, the imaging service as found,
// and from now on every line the run prints.
void BeginRunRecord(int argc, char** argv);

// The run's end: builds the line and appends it; on an update's success
// writes the last-success value too.
RunSummary WriteRunRecord(const RunEnd& end);
