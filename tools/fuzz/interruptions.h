// What a real PC does to a run, as the fuzzer plays it: console control
// events, a kill, sleeps and another copy of the updater at virtual times
// the input chooses, and what the updater promises whatever they are.
#pragma once
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "platform/sim/world.h"

// Adds the input's interruptions to the world (none once the input runs
// out, so that older inputs keep their meaning).
void BuildInterruptions(FuzzedDataProvider& provider, SimWorld& world);

// After the older parts, while bytes last: what runs beside the updater
// (one input in four): an image write that takes 0.3 s to 15 s, control
// events at any time (inside held calls too), log-offs and shutdowns
// without a handler, one or two real copies with their own arguments, a
// standard user's program after the one-updater mutex.
void BuildConcurrency(FuzzedDataProvider& provider, SimWorld& world);

// Last of all, while bytes last (one input in six): the PC's power lost at
// a time the input chooses, with each registry hive's lazy flush never
// done before it or done some seconds after the hive's first change.
void BuildPowerCut(FuzzedDataProvider& provider, SimWorld& world);
// Whether the power went during the world (its cut time is cleared once it
// does): promise 15 is judged at the world's end.
void NotePowerCut(bool cut);

// The interruptions and what the control events did, for a failure report.
void PrintInterruptions(const SimWorld& world);

// Whether the world has any interruption to play.
bool HasInterruptions(const SimWorld& world);

// Whether the record may wait for a later run: the run that left it had
// begun to send the image, and the scanner is on the bus, burning or in its
// loader. The updater then settles it only once the scanner answers that it
// is neither (it cannot tell a loader that waits for an image from one that
// will leave the bus to burn one). Whether the service ever meets a burn is
// promise 12's to judge.
bool RecordMayWait(const SimWorld& world);
// What the last of the next runs found, for the judgement after it.
void NoteRecordMayWait(bool mayWait);

// The promises after a run that had interruptions, once every run it needed
// is over: the imaging service given back (by the run itself, or by the next
// run after one that ended without returning) unless its restart was
// refused; the keep-awake request cleared. (That two copies never write at
// once is watched at each write: watch.cpp.) An empty text when they held.
std::string CheckInterruptionPromises(const SimWorld& world, const SimService& before);
