#include "report/run_record.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/print.h"
#include "common/shared.h"
#include "platform/clock.h"
#include "platform/handle.h"
#include "platform/resource.h"
#include "platform/run_log.h"
#include "platform/service.h"
#include "report/json_line.h"

#ifndef FWU_VERSION_TEXT
#define FWU_VERSION_TEXT "0.0.0"
#endif

namespace {

// A burn that runs to the ten-minute limit prints about 600 lines.
constexpr std::uint32_t JOURNAL_ENTRIES = 1024;
// A direct line is a short ASCII line; a longer one is cut to this.
constexpr std::size_t DIRECT_TEXT_SIZE = 256;
constexpr int SWITCHES_KEPT = 16;
constexpr std::size_t SWITCH_TEXT_SIZE = 200;
constexpr std::uint32_t SHA256_SIZE = 32;
constexpr std::uint32_t NO_STATE = 0xFFFFFFFFu;
inline constexpr const char* IMAGING_SERVICE = "stisvc";
// Named, so that no brace in a character literal unbalances a reader's count.
constexpr char OBJECT_OPEN = 0x7B;
constexpr char OBJECT_CLOSE = 0x7D;

// One line the run printed: a catalogue id, or a direct line's bytes.
struct JournalEntry {
    std::atomic<bool> ready{false};
    MessageId id = -1;
    std::uint32_t atMs = 0;
    std::uint16_t size = 0;
    char text[DIRECT_TEXT_SIZE] = {};
};

struct Journal {
    std::uint64_t startTime = 0;
    std::uint32_t startTick = 0;
    std::vector<std::string> switches;
    std::uint32_t stateBefore = NO_STATE;
    std::uint32_t startTypeBefore = NO_STATE;
    // Slots handed out so far, past JOURNAL_ENTRIES when lines were lost.
    std::atomic<std::uint32_t> used{0};
    JournalEntry entries[JOURNAL_ENTRIES];
};

Journal* CurrentJournal()
{
    return static_cast<Journal*>(RunJournal.get());
}

// Any thread that prints: the main one, the console control handler's.
void NoteLine(MessageId id, const char* text, std::size_t size)
{
    Journal* journal = CurrentJournal();
    if (journal == nullptr) {
        return;
    }
    const std::uint32_t slot = journal->used.fetch_add(1);
    if (slot >= JOURNAL_ENTRIES) {
        return;
    }
    JournalEntry& entry = journal->entries[slot];
    entry.id = id;
    entry.atMs = TickCount() - journal->startTick;
    if (text != nullptr) {
        entry.size = static_cast<std::uint16_t>(size < DIRECT_TEXT_SIZE ? size : DIRECT_TEXT_SIZE);
        std::memcpy(entry.text, text, entry.size);
    }
    entry.ready.store(true, std::memory_order_release);
}

void ReadService(std::uint32_t* state, std::uint32_t* startType)
{
    if (!ReadServiceSnapshot(IMAGING_SERVICE, state, startType)) {
        *state = NO_STATE;
        *startType = NO_STATE;
    }
}

void AppendText(std::string* line, const char* key, const char* text)
{
    AppendJsonKey(line, key);
    AppendJsonBytes(line, text, std::strlen(text));
}

void AppendService(std::string* line, const char* key, std::uint32_t state, std::uint32_t startType)
{
    AppendJsonKey(line, key);
    *line += '{';
    AppendText(line, "state", ServiceStateName(state));
    AppendText(line, "start_type", ServiceStartTypeName(startType));
    *line += '}';
}

// The image's SHA-256 as the build embedded it, in hex; empty when the
// executable carries none of the right size.
std::string ImageDigestHex()
{
    const Handle found = FindBinaryResource(FIRMWARE_DIGEST_RESOURCE_ID);
    const Handle loaded = found == NO_HANDLE ? NO_HANDLE : LoadBinaryResource(found);
    const void* bytes = loaded == NO_HANDLE ? nullptr : LockBinaryResource(loaded);
    if (bytes == nullptr || SizeOfBinaryResource(found) != SHA256_SIZE) {
        return {};
    }
    std::string hex;
    for (std::uint32_t i = 0; i < SHA256_SIZE; ++i) {
        char pair[3] = {};
        std::snprintf(pair, sizeof pair, "%02x", static_cast<const unsigned char*>(bytes)[i]);
        hex += pair;
    }
    return hex;
}

// Each line in English, whatever the console's language: a catalogue entry
// as its English text and the line end PrintMessage adds, a direct line as
// printed. Messages that would pass the line's limit are counted instead.
void AppendMessages(std::string* line, const Journal& journal)
{
    const std::uint32_t handed = journal.used.load();
    std::uint32_t leftOut = handed > JOURNAL_ENTRIES ? handed - JOURNAL_ENTRIES : 0;
    AppendJsonKey(line, "messages");
    *line += '[';
    for (std::uint32_t i = 0; i < handed && i < JOURNAL_ENTRIES; ++i) {
        const JournalEntry& entry = journal.entries[i];
        const char* english = entry.id >= 0 ? MessageText(entry.id) : nullptr;
        if (!entry.ready.load(std::memory_order_acquire) || line->size() > RUN_LINE_LIMIT - 2 * DIRECT_TEXT_SIZE) {
            ++leftOut;
            continue;
        }
        if (line->back() != '[') {
            *line += ',';
        }
        line->push_back(OBJECT_OPEN);
        AppendJsonKey(line, "ms");
        AppendJsonNumber(line, entry.atMs);
        AppendJsonKey(line, "id");
        *line += entry.id >= 0 ? std::to_string(entry.id) : std::string("null");
        AppendJsonKey(line, "text");
        const std::string text = english != nullptr ? std::string(english) + "\n" : std::string(entry.text, entry.size);
        AppendJsonBytes(line, text.data(), text.size());
        line->push_back(OBJECT_CLOSE);
    }
    *line += ']';
    AppendJsonKey(line, "messages_left_out");
    AppendJsonNumber(line, leftOut);
}

void AppendScanner(std::string* line)
{
    const bool found = DevicePath[0] != '\0';
    AppendJsonKey(line, "scanner_path");
    if (found) {
        AppendJsonBytes(line, DevicePath, strnlen(DevicePath, sizeof DevicePath));
    } else {
        *line += "null";
    }
    AppendJsonKey(line, "scanner_name");
    AppendJsonBytes(line, FriendlyName, strnlen(FriendlyName, sizeof FriendlyName));
    AppendText(line, "scanner_mode", !found ? "none" : ScannerSeenInRecovery ? "recovery" : "normal");
}

std::string BuildLine(const Journal& journal, const RunEnd& end, const std::string& digest)
{
    std::string line = "{";
    AppendText(&line, "version", FWU_VERSION_TEXT);
    AppendText(&line, "image_sha256", digest.c_str());
    char computer[RUN_LOG_PATH_SIZE] = {};
    AppendJsonKey(&line, "computer");
    if (ComputerNameText(computer, sizeof computer)) {
        AppendJsonUtf8(&line, computer, std::strlen(computer));
    } else {
        line += "null";
    }
    AppendJsonKey(&line, "start_utc");
    AppendJsonUtcTime(&line, journal.startTime);
    AppendJsonKey(&line, "end_utc");
    AppendJsonUtcTime(&line, UtcFileTime());
    AppendJsonKey(&line, "duration_ms");
    AppendJsonNumber(&line, static_cast<std::uint32_t>(TickCount() - journal.startTick));
    AppendJsonKey(&line, "switches");
    line += '[';
    for (const std::string& item : journal.switches) {
        line += line.back() == '[' ? "" : ",";
        AppendJsonBytes(&line, item.data(), item.size());
    }
    line += ']';
    AppendScanner(&line);
    AppendMessages(&line, journal);
    AppendText(&line, "outcome", end.outcome);
    AppendJsonKey(&line, "exit_code");
    AppendJsonNumber(&line, end.exitCode);
    std::uint32_t state = NO_STATE;
    std::uint32_t startType = NO_STATE;
    ReadService(&state, &startType);
    AppendService(&line, "service_before", journal.stateBefore, journal.startTypeBefore);
    AppendService(&line, "service_after", state, startType);
    line += "}\n";
    return line;
}

RecordSkipped FolderVerdict(LogFolder folder)
{
    switch (folder) {
    case LogFolder::Trusted:
        return RecordSkipped::None;
    case LogFolder::Missing:
        return RecordSkipped::FolderNotCreated;
    case LogFolder::ReparsePoint:
        return RecordSkipped::FolderReparsePoint;
    case LogFolder::NotAFolder:
        return RecordSkipped::FolderNotAFolder;
    case LogFolder::ForeignOwner:
        return RecordSkipped::FolderForeignOwner;
    case LogFolder::OpenDacl:
        return RecordSkipped::FolderOpenDacl;
    case LogFolder::Unreadable:
        break;
    }
    return RecordSkipped::FolderUnreadable;
}

// The folder the line may go into: one this run made (nothing had the
// name, so nobody else prepared it) or one that only administrators and
// SYSTEM own and may enter. A user may make a folder of that name in
// ProgramData first, or put a link there: such a folder is never written to.
RecordSkipped PrepareFolder(const std::string& folder)
{
    const LogFolder found = InspectLogFolder(folder.c_str());
    if (found != LogFolder::Missing) {
        return FolderVerdict(found);
    }
    return CreateLogFolder(folder.c_str()) ? RecordSkipped::None : RecordSkipped::FolderNotCreated;
}

RecordSkipped FileVerdict(LogFile file)
{
    if (file == LogFile::ReparsePoint) {
        return RecordSkipped::FileReparsePoint;
    }
    return file == LogFile::HardLinked ? RecordSkipped::FileHardLinked : RecordSkipped::FileNotOpened;
}

// A full file takes its old name, whichever run's handle does it: the
// rename moves the open file itself, so a second run renaming after the
// first moves the same file again and never the new one.
RecordSkipped OpenForLine(const std::string& folder, std::size_t lineSize, Handle* file)
{
    const std::string path = folder + "\\" + RUN_LOG_FILE;
    LogFile opened = OpenLogForAppend(path.c_str(), file);
    if (opened == LogFile::Opened && LogFileSize(*file) + lineSize > RUN_LOG_ROTATE_BYTES && LogFileSize(*file) > 0) {
        const std::string old = folder + "\\" + RUN_LOG_OLD_FILE;
        RenameOpenLog(*file, old.c_str());
        CloseLogFile(*file);
        opened = OpenLogForAppend(path.c_str(), file);
    }
    return opened == LogFile::Opened ? RecordSkipped::None : FileVerdict(opened);
}

RecordSkipped AppendLine(const std::string& line)
{
    char base[RUN_LOG_PATH_SIZE] = {};
    if (!ProgramDataFolder(base, sizeof base)) {
        return RecordSkipped::NoProgramData;
    }
    const std::string folder = std::string(base) + "\\" + RUN_LOG_FOLDER;
    const RecordSkipped place = PrepareFolder(folder);
    if (place != RecordSkipped::None) {
        return place;
    }
    Handle file = NO_HANDLE;
    const RecordSkipped opened = OpenForLine(folder, line.size(), &file);
    if (opened != RecordSkipped::None) {
        return opened;
    }
    // One write of the whole line to a file opened for appending: another
    // run's line goes before or after it, never into it.
    const bool written = AppendLogBytes(file, line.data(), static_cast<std::uint32_t>(line.size()));
    CloseLogFile(file);
    return written ? RecordSkipped::None : RecordSkipped::WriteFailed;
}

bool WriteLastSuccess(const std::string& digest, std::uint64_t now)
{
    std::string time;
    AppendJsonUtcTime(&time, now);
    time = time.substr(1, time.size() - 2);
    return !digest.empty() && WriteMachineText(LAST_SUCCESS_KEY, LAST_SUCCESS_SHA256, digest.c_str()) == 0 &&
           WriteMachineText(LAST_SUCCESS_KEY, LAST_SUCCESS_VERSION, FWU_VERSION_TEXT) == 0 &&
           WriteMachineText(LAST_SUCCESS_KEY, LAST_SUCCESS_TIME, time.c_str()) == 0;
}

}  // namespace

const char* RecordSkippedName(RecordSkipped reason)
{
    constexpr const char* NAMES[] = {"none",
                                     "not_begun",
                                     "no_program_data",
                                     "folder_not_created",
                                     "folder_reparse_point",
                                     "folder_not_a_folder",
                                     "folder_foreign_owner",
                                     "folder_open_dacl",
                                     "folder_unreadable",
                                     "file_reparse_point",
                                     "file_hard_linked",
                                     "file_not_opened",
                                     "write_failed"};
    const auto index = static_cast<std::size_t>(reason);
    return index < sizeof NAMES / sizeof NAMES[0] ? NAMES[index] : "unknown";
}

void BeginRunRecord(int argc, char** argv)
{
    auto journal = std::make_shared<Journal>();
    journal->startTime = UtcFileTime();
    journal->startTick = TickCount();
    for (int i = 1; i < argc && i <= SWITCHES_KEPT; ++i) {
        journal->switches.emplace_back(argv[i], strnlen(argv[i], SWITCH_TEXT_SIZE));
    }
    ReadService(&journal->stateBefore, &journal->startTypeBefore);
    RunJournal = journal;
    WatchPrints(&NoteLine);
}

RunSummary WriteRunRecord(const RunEnd& end)
{
    RunSummary summary;
    summary.outcome = end.outcome;
    summary.exitCode = end.exitCode;
    const Journal* journal = CurrentJournal();
    if (journal == nullptr) {
        return summary;
    }
    const std::string digest = ImageDigestHex();
    summary.skipped = AppendLine(BuildLine(*journal, end, digest));
    summary.error = summary.skipped == RecordSkipped::None ? 0 : LastError();
    if (end.scannerUpdated) {
        summary.lastSuccessWritten = WriteLastSuccess(digest, UtcFileTime());
    }
    return summary;
}
