#include "platform/power.h"

#include <windows.h>

void RequestSystemAwake(bool keepAwake)
{
    SetThreadExecutionState(keepAwake ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}
