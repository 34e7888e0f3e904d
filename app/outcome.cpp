#include "app/outcome.h"

int ExitCodeFor(UpdateOutcome outcome)
{
    switch (outcome) {
    case UpdateOutcome::Updated:
        return EXIT_CODE_UPDATED;
    case UpdateOutcome::Busy:
        return EXIT_CODE_BUSY;
    case UpdateOutcome::NoScanner:
        return EXIT_CODE_NO_SCANNER;
    case UpdateOutcome::NotElevated:
        return EXIT_CODE_NOT_ELEVATED;
    case UpdateOutcome::FailedBeforeImage:
        return EXIT_CODE_FAILED_BEFORE_IMAGE;
    case UpdateOutcome::FailedAfterImage:
        return EXIT_CODE_FAILED_AFTER_IMAGE;
    case UpdateOutcome::ServiceNotGivenBack:
        return EXIT_CODE_SERVICE_NOT_GIVEN_BACK;
    case UpdateOutcome::ImageDamaged:
        return EXIT_CODE_IMAGE_DAMAGED;
    }
    // Not reached: every outcome has its code. A value outside the enum
    // is no success.
    return EXIT_CODE_FAILED_BEFORE_IMAGE;
}

bool ScannerUpdated(UpdateOutcome outcome)
{
    return outcome == UpdateOutcome::Updated || outcome == UpdateOutcome::ServiceNotGivenBack;
}

const char* OutcomeName(UpdateOutcome outcome)
{
    switch (outcome) {
    case UpdateOutcome::Updated:
        return "Updated";
    case UpdateOutcome::Busy:
        return "Busy";
    case UpdateOutcome::NoScanner:
        return "NoScanner";
    case UpdateOutcome::NotElevated:
        return "NotElevated";
    case UpdateOutcome::FailedBeforeImage:
        return "FailedBeforeImage";
    case UpdateOutcome::FailedAfterImage:
        return "FailedAfterImage";
    case UpdateOutcome::ServiceNotGivenBack:
        return "ServiceNotGivenBack";
    case UpdateOutcome::ImageDamaged:
        return "ImageDamaged";
    }
    return "Unknown";
}
