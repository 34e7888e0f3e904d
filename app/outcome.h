// How a run ended, and the exit code that tells it to a deployment script.
// A run given none of the unattended or check switches always exits 0: its
// user reads the console, and scripts written for it expect nothing else.
#pragma once

enum class UpdateOutcome {
    Updated,              // the scanner took the image and the service is back
    Busy,                 // another updater, a guard mutex's holder or a dead run's burn: run later
    NoScanner,            // no scanner on any of the still-image paths
    NotElevated,          // no administrator rights: nothing was touched
    FailedBeforeImage,    // the scanner runs what it ran before
    FailedAfterImage,     // the image had begun to leave: the scanner may be in its loader
    ServiceNotGivenBack,  // updated, but the imaging service did not come back
    ImageDamaged,         // the image inside the executable failed its integrity check
};

// The codes of the table in the README. 1618 is Windows Installer's "another
// installation is in progress", which Intune and Configuration Manager retry
// by themselves. The failure codes sit in 40..49, a block that Windows'
// system error codes leave unassigned, clear of the codes those tools treat
// as success or reboot (0, 1707, 3010, 1641), and below 256 so that a
// platform that keeps only an exit status's low byte shows them unchanged.
constexpr int EXIT_CODE_UPDATED = 0;
constexpr int EXIT_CODE_BUSY = 1618;
constexpr int EXIT_CODE_NO_SCANNER = 40;
constexpr int EXIT_CODE_NOT_ELEVATED = 41;
constexpr int EXIT_CODE_FAILED_BEFORE_IMAGE = 42;
constexpr int EXIT_CODE_FAILED_AFTER_IMAGE = 43;
constexpr int EXIT_CODE_SERVICE_NOT_GIVEN_BACK = 44;
constexpr int EXIT_CODE_IMAGE_DAMAGED = 45;

// The table's code for an outcome.
int ExitCodeFor(UpdateOutcome outcome);

// The scanner holds the new firmware (whatever became of the service).
bool ScannerUpdated(UpdateOutcome outcome);

// The outcome's name as the enum spells it ("FailedBeforeImage").
const char* OutcomeName(UpdateOutcome outcome);
