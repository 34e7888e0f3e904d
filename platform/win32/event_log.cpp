#include "platform/event_log.h"

#include <windows.h>

namespace {

// Room for the source's name, zero-terminated.
constexpr int SOURCE_SIZE = 64;

// ANSI to UTF-16 into a fixed buffer; an overlong text is cut, never
// overrun, and always ends in a zero.
void Widen(const char* text, wchar_t* wide, int size)
{
    wide[0] = L'\0';
    if (text == nullptr) {
        return;
    }
    const int length = lstrlenA(text);
    const int fits = length < size - 1 ? length : size - 1;
    const int written = MultiByteToWideChar(CP_ACP, 0, text, fits, wide, size - 1);
    wide[written > 0 ? written : 0] = L'\0';
}

}  // namespace

bool ReportApplicationEvent(const char* source, EventLogType type, std::uint32_t eventId, const char* const* strings,
                            std::uint16_t count)
{
    wchar_t sourceName[SOURCE_SIZE];
    Widen(source, sourceName, SOURCE_SIZE);
    wchar_t texts[EVENT_STRINGS_MAX][EVENT_STRING_SIZE];
    const wchar_t* pointers[EVENT_STRINGS_MAX] = {};
    const WORD used = count < EVENT_STRINGS_MAX ? count : EVENT_STRINGS_MAX;
    for (WORD i = 0; i < used; ++i) {
        Widen(strings != nullptr ? strings[i] : nullptr, texts[i], static_cast<int>(EVENT_STRING_SIZE));
        pointers[i] = texts[i];
    }
    HANDLE log = RegisterEventSourceW(nullptr, sourceName);
    if (log == nullptr) {
        return false;
    }
    const BOOL reported = ReportEventW(log, static_cast<WORD>(type), 0, eventId, nullptr, used, 0,
                                       used != 0 ? pointers : nullptr, nullptr);
    DeregisterEventSource(log);
    return reported != FALSE;
}
