// Power management.
#pragma once

// SetThreadExecutionState: with true, ES_CONTINUOUS | ES_SYSTEM_REQUIRED (the
// system does not sleep on idle while the request stands); with false,
// ES_CONTINUOUS alone, which clears it. The request belongs to the calling
// thread and ends with the process.
void RequestSystemAwake(bool keepAwake);
