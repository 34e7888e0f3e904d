#include "host/give_back.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/task.h"

namespace {

const char* const FOLDER_VALUE = "Folder";
const char* const RUNS_VALUE = "Runs";
const char* const FOLDER_PREFIX = "fwupdate-giveback-";
const char* const COPY_NAME = "fwupdate.exe";
// A name somebody else holds already is never used: the next one is tried.
constexpr std::uint32_t FOLDER_TRIES = 8;

// Windows' paths ignore case (in the ASCII range that ours use).
bool SameText(const char* left, const char* right)
{
    auto lower = [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; };
    for (; *left != '\0' && *right != '\0'; ++left, ++right) {
        if (lower(*left) != lower(*right)) {
            return false;
        }
    }
    return *left == *right;
}

struct CopyPlace {
    char folder[PROGRAM_PATH_SIZE] = {};
    char program[PROGRAM_PATH_SIZE] = {};
};

// The folder and the copy for folder number `number`; false when the
// paths do not fit.
bool PlaceFor(std::uint32_t number, CopyPlace* place)
{
    char base[PROGRAM_PATH_SIZE] = {};
    if (!ProgramFilesFolder(base, sizeof base)) {
        return false;
    }
    const int folderLength =
        std::snprintf(place->folder, sizeof place->folder, "%s\\%s%08X", base, FOLDER_PREFIX, number);
    const int programLength = std::snprintf(place->program, sizeof place->program, "%s\\%s", place->folder, COPY_NAME);
    return folderLength > 0 && folderLength < static_cast<int>(sizeof place->folder) && programLength > 0 &&
           programLength < static_cast<int>(sizeof place->program);
}

// A number of the give-back's key; false when it is not there or is not a
// REG_DWORD.
bool ReadNumber(Handle key, const char* name, std::uint32_t* value)
{
    std::uint32_t type = 0;
    std::uint32_t size = sizeof *value;
    return QueryKeyValue(key, name, &type, value, &size) == 0 && type == REG_DWORD_TYPE && size == sizeof *value;
}

bool NoteFolder(std::uint32_t number)
{
    Handle key = NO_HANDLE;
    if (CreateMachineKey(GIVE_BACK_KEY, &key) != 0) {
        return false;
    }
    const bool written = SetKeyNumber(key, FOLDER_VALUE, number) == 0 && SetKeyNumber(key, RUNS_VALUE, 0) == 0;
    CloseMachineKey(key);
    // On disk before the task exists: power lost with the task kept and the
    // note gone would leave a task that no run knows to remove.
    if (!written || FlushMachineKey(GIVE_BACK_KEY) != 0) {
        DeleteMachineKey(GIVE_BACK_KEY);
        return false;
    }
    return true;
}

// A fresh admin-only folder, noted in the registry before anything is put
// in it, so a run killed from here on leaves what the next one removes.
bool MakeFolder(CopyPlace* place)
{
    std::uint32_t number = TickCount();
    for (std::uint32_t attempt = 0; attempt < FOLDER_TRIES; ++attempt, ++number) {
        if (PlaceFor(number, place) && CreateAdminOnlyFolder(place->folder)) {
            if (NoteFolder(number)) {
                return true;
            }
            RemoveProgramFolder(place->folder, place->program);
            return false;
        }
    }
    return false;
}

}  // namespace

bool KeepGiveBack()
{
    if (!ScheduledTaskExists(GIVE_BACK_TASK_NAME)) {
        return false;
    }
    Handle key = NO_HANDLE;
    if (OpenMachineKey(GIVE_BACK_KEY, &key) != 0) {
        return false;
    }
    std::uint32_t number = 0;
    const bool reset = ReadNumber(key, FOLDER_VALUE, &number) && SetKeyNumber(key, RUNS_VALUE, 0) == 0;
    CloseMachineKey(key);
    // On disk, as the note was: a count that came back after a power cut
    // could end the task's wait for the scanner early, beside this burn.
    return reset && FlushMachineKey(GIVE_BACK_KEY) == 0;
}

bool PrepareGiveBack()
{
    DismantleGiveBack();
    char own[PROGRAM_PATH_SIZE] = {};
    CopyPlace place;
    if (!OwnProgramPath(own, sizeof own) || !MakeFolder(&place)) {
        return false;
    }
    if (CopyProgramFile(own, place.program) &&
        RegisterGiveBackTask(GIVE_BACK_TASK_NAME, place.program, GIVE_BACK_SWITCH, place.folder)) {
        return true;
    }
    DismantleGiveBack();
    return false;
}

void DismantleGiveBack()
{
    Handle key = NO_HANDLE;
    if (OpenMachineKey(GIVE_BACK_KEY, &key) != 0) {
        return;
    }
    std::uint32_t number = 0;
    const bool noted = ReadNumber(key, FOLDER_VALUE, &number);
    CloseMachineKey(key);
    if (!DeleteScheduledTask(GIVE_BACK_TASK_NAME)) {
        return;  // the note stays, for the next run to try again
    }
    CopyPlace place;
    bool gone = !noted || !PlaceFor(number, &place) || RemoveProgramFolder(place.folder, place.program);
    if (!gone) {
        // The task's own instance runs from the copy: its action removes the
        // folder once it returned 0.
        char own[PROGRAM_PATH_SIZE] = {};
        gone = OwnProgramPath(own, sizeof own) && SameText(own, place.program);
    }
    if (gone) {
        DeleteMachineKey(GIVE_BACK_KEY);
    }
}

std::uint32_t CountGiveBackRun()
{
    Handle key = NO_HANDLE;
    if (OpenMachineKey(GIVE_BACK_KEY, &key) != 0) {
        return 0;
    }
    std::uint32_t runs = 0;
    if (!ReadNumber(key, RUNS_VALUE, &runs)) {
        runs = 0;
    }
    ++runs;
    // Not flushed: the hive's lazy write takes it out within seconds, and a
    // count lost to a power cut that soon only lets the task wait for a
    // scanner that still says it burns one minute more. A flush every
    // minute for that would cost more than it saves.
    SetKeyNumber(key, RUNS_VALUE, runs);
    CloseMachineKey(key);
    return runs;
}
