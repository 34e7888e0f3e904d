// The stages of the update after the scanner was found.
#pragma once
#include <cstdint>
#include <optional>

#include "app/outcome.h"
#include "host/wia_control.h"

// One status exchange about `subcode`; the state its reply carries. A failed
// exchange leaves the zeroed reply, which reads as ready.
std::uint16_t AskScannerState(std::uint16_t subcode, bool* answered);

// Settles the record a dead run left (see SettleDebtLeftBehind), unless
// that run had begun to send the image and a scanner on the bus may still
// be busy with it: then the record stays, and false. Only for the holder
// of the one-updater mutex.
bool SettleDebtIfScannerDone();

// Status probe, guards, service stop, readiness wait, clock handshake,
// download and burn, service restart. The outcome: Updated on a completed
// update whose service came back, else the first failure's. Runs on the
// service object that the whole sequence holds: its status query, stop and
// restart after success share its handles, so the caller hands it in built.
// A restart after a failure destroys it first (the optional is left empty)
// and runs on a fresh object of its own. When the one-updater mutex comes
// only here and a dead run's record has to wait for its scanner,
// `recordWaits` is set: a run that then updates the scanner settles it.
UpdateOutcome RunUpdateStages(std::optional<CWIAControl>& imagingService, bool* recordWaits);
