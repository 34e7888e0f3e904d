// The updater's event log entries as Windows sees them: every id the run
// reports finds its text in the executable's own message table (what
// Event Viewer reads once the source is registered), with the insertion
// strings in place, and the entry itself is taken.
#include "platform/event_log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "report/event_log.h"

namespace {

// The text Event Viewer would show for `messageId` with `strings`, from
// this executable's message table; empty when it has none for the id.
std::wstring FormatFromOwnTable(std::uint32_t messageId, const wchar_t* const* strings)
{
    wchar_t text[1024] = {};
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, messageId,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text / sizeof text[0],
                       reinterpret_cast<va_list*>(const_cast<wchar_t**>(strings)));
    return std::wstring(text, length);
}

struct TextRow {
    RunEvent kind;
    const wchar_t* start;
};

const TextRow TEXT_ROWS[] = {
    {RunEvent::Updated, L"The scanner's firmware was updated (code 1618, unattended run, scanner \\\\.\\usbscan3, "},
    {RunEvent::Busy, L"The scanner was not updated: the scanner or its software was busy;"},
    {RunEvent::NoScanner, L"The scanner was not updated: no scanner was found;"},
    {RunEvent::NotElevated, L"The scanner was not updated: the updater did not run as administrator"},
    {RunEvent::FailedBeforeImage, L"The update failed before the image was sent:"},
    {RunEvent::FailedAfterImage, L"The update failed after the image was sent:"},
    {RunEvent::ServiceNotGivenBack, L"The scanner's firmware was updated, but the Windows Image Acquisition service"},
    {RunEvent::ImageDamaged, L"The scanner was not updated: the firmware image inside this copy"},
    {RunEvent::CheckResult, L"The updater checked whether an update can run and changed nothing: code 1618 "},
};

TEST(PlatformEventLogTest, EveryRunEventHasItsTextWithTheRunsFacts)
{
    const wchar_t* const strings[] = {L"1618", L"unattended", L"\\\\.\\usbscan3", L"1", L"ab12cd"};
    for (const TextRow& row : TEXT_ROWS) {
        SCOPED_TRACE(EventInfoFor(row.kind).id);
        const std::wstring text = FormatFromOwnTable(MessageIdFor(row.kind), strings);
        EXPECT_EQ(text.rfind(row.start, 0), 0u)
            << "no message or another text: \"" << std::string(text.begin(), text.end()) << "\"";
        EXPECT_NE(text.find(L"run, scanner \\\\.\\usbscan3, mode 1, "), std::wstring::npos);
        EXPECT_NE(text.find(L"image SHA-256 ab12cd).\r\n"), std::wstring::npos);
    }
}

// The entries of one insertion string: the record's reason, the give-back
// task's run count.
TEST(PlatformEventLogTest, TheEntriesOfOneStringCarryIt)
{
    const struct {
        RunEvent kind;
        const wchar_t* insertion;
        const wchar_t* start;
        const wchar_t* end;
    } rows[] = {
        {RunEvent::RecordNotWritten, L"disk full", L"The updater's record of this run could not be written: ",
         L"disk full\r\n"},
        {RunEvent::ServiceGivenBack, L"7", L"The Windows Image Acquisition service, left off by an update",
         L"has removed itself (7 runs of the task).\r\n"},
        {RunEvent::GiveBackGaveUp, L"45", L"The Windows Image Acquisition service, left off by an update",
         L"(45 runs of the task); run the updater again, or set the service back to its start type and start "
         L"it.\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(EventInfoFor(row.kind).id);
        const wchar_t* const strings[] = {row.insertion};
        const std::wstring text = FormatFromOwnTable(MessageIdFor(row.kind), strings);
        const std::wstring end = row.end;
        EXPECT_EQ(text.rfind(row.start, 0), 0u) << std::string(text.begin(), text.end());
        ASSERT_GE(text.size(), end.size());
        EXPECT_EQ(text.substr(text.size() - end.size()), end);
    }
}

// An id the table lacks, or the shown id without its severity bits, finds
// no text: Event Viewer would say the description cannot be found.
TEST(PlatformEventLogTest, OnlyTheFullIdsFindTheirTexts)
{
    const wchar_t* const strings[] = {L"0", L"attended", L"none", L"0", L"unknown"};
    for (const std::uint32_t id : {1000u, 1008u, 0x400003E9u, 0x40000000u}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(FormatFromOwnTable(id, strings), L"");
    }
}

TEST(PlatformEventLogTest, AnEntryIsTaken)
{
    const char* const strings[] = {"0", "check", "none", "0", "unknown"};
    EXPECT_TRUE(ReportApplicationEvent(EVENT_SOURCE, EventLogType::Information, MessageIdFor(RunEvent::CheckResult),
                                       strings, 5));
}

}  // namespace
