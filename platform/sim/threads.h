// The simulated threads: the main thread of each updater process and a
// thread per delivered control event. They are real threads that run one at
// a time; the running one hands over only where virtual time passes or where
// it waits for its process's service-debt lock, so the same world always
// interleaves them the same way.
#pragma once
#include <cstdint>

#include "platform/sim/world.h"

// Sleeps the running simulated thread until virtual time `wakeAtMs`. Every
// world event due meanwhile happens at its time, and the threads due before
// run first (ties: events, then threads in the order they were made).
void SleepSimThreadUntil(std::uint64_t wakeAtMs);
// The running process's service-debt lock, between its simulated threads.
void LockSimServiceDebt();
void UnlockSimServiceDebt();
// Ends process `process`: its state is taken back and every thread of it
// unwinds at its next switch point. True when the running thread is one of
// them (the caller then throws).
bool EndSimProcess(int process, const char* how);
// Throws SimProcessEnded when the running thread's process has ended and
// the thread has not unwound yet.
void ThrowIfSimThreadEnded();
// Forgets every simulated thread but the caller's, which becomes the first
// process's main thread (SimWorld::Start and StartNextProcess).
void ResetSimThreads();
// Cuts the PC's power now: every process ends ("power_cut"), nothing more
// is started or delivered, and the registry keeps only what was on disk.
// Throws SimProcessEnded on the running thread.
[[noreturn]] void CutSimPower();
