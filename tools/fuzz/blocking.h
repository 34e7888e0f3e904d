// What holds the updater's calls on a real PC, as the fuzzer plays it: a
// scanner that stays on the bus but falls silent (each request then waits
// for its handle's time-out), a service slow to answer a stop or to start,
// or refusing them as the service manager does, and selections made in the
// console window that hold every line printed meanwhile.
#pragma once
#include <fuzzer/FuzzedDataProvider.h>

#include "platform/sim/world.h"

// Adds the input's blocking parts to the world (none once the input runs
// out, so that older inputs keep their meaning). The driver's time-out is
// always taken: a refused time-out leaves the driver's two minutes a call,
// which no bound of the run is made for.
void BuildBlocking(FuzzedDataProvider& provider, SimWorld& world);

// The blocking parts of the world, for a person reading a failure.
void PrintBlocking(const SimWorld& world);
