// The stages of the update after the scanner was found.
#pragma once

// Status probe, guards, service stop, readiness wait, clock handshake,
// download and burn, service restart. True on a completed update.
bool RunUpdateStages();
