// What the simulated platform's groups share about the world's run-time
// machinery: the clock's passage, the processes' views, the mutex namespace.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sim/world.h"

const char* SimControlName(ConsoleControl event);

// Moves the clock forward to `atMs` (never back): the service's pending
// states, other applications' mutexes, the scanner and the PC's sleeps
// follow.
void MoveSimClockTo(SimWorld& world, std::uint64_t atMs);

// Power lost: each hive goes back to what its disk holds (the lazy
// flusher's writes that fell due included).
void LoseUnflushedRegistry(SimWorld& world);

// Makes the world's per-process fields those of `process`, parking the
// running one's in its SimProcess.
void ShowSimProcess(SimWorld& world, int process);
template <typename Action> void WithSimProcessView(SimWorld& world, int process, Action action)
{
    const int before = world.currentProcess;
    ShowSimProcess(world, process);
    action();
    ShowSimProcess(world, before);
}

// What the platform takes back from a process that is gone; `returned`
// when its main returned rather than being ended.
void EndSimProcessState(SimWorld& world, int process, const char* how, bool returned);

// The mutex namespace's side of processes and users' programs (mutex.cpp).
void OpenUserMutex(SimWorld& world, std::size_t holder);
void GrantWaitingUsers(SimWorld& world);
void DropProcessMutexes(SimWorld& world, int process);
// Whether the owning process of a mutex is gone, so the next wait takes it.
bool SimMutexAbandoned(const SimWorld& world, const SimMutex& mutex);

// A path as the disk keys it: Windows' paths ignore case.
std::string SimLowerPath(const std::string& path);
// The folder part of a path: everything before its last backslash.
std::string SimParentFolder(const std::string& path);
// The folder and everything under it leave the disk (what `rd /s /q` does
// once nothing runs from it).
void RemoveSimFolder(SimWorld& world, const std::string& folder);
