// The bilingual catalogue: every text in both languages, where each lands
// in the table, and what PrintMessage puts on the console.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/print.h"
#include "common/shared.h"
#include "platform/console.h"
#include "tests/logic/app_test_support.h"
#include "tests/logic/console_texts.h"

namespace {

struct CatalogueEntry {
    MessageId id;
    const std::string& english;  // as printed: the text and PrintMessage's line end
    const char* chinese;         // the characters as UTF-8; the catalogue holds their CP950 bytes
};

const CatalogueEntry CATALOGUE[] = {
    {0, texts::WARNING, "警告 - no following argument!!\n"},
    {1, texts::DESCRIPTOR_ERROR, "獲取設備描述符的錯誤!!\n"},
    {2, texts::FOUND, "設備發現!!\n"},
    {3, texts::NOT_FOUND, "設備未找到!!\n結束 程序...\n"},
    {4, texts::LOADING, "固件裝載中...\n"},
    {5, texts::FIND_RESOURCE_ERROR, "加載固件（查找資源）錯誤!!\n"},
    {6, texts::LOAD_RESOURCE_ERROR, "加載固件（負載資源）錯誤!!\n"},
    {7, texts::LOCK_RESOURCE_ERROR, "加載固件（鎖定資源）錯誤!!\n"},
    {8, texts::RESOURCE_EMPTY, "加載固件（資源長度為零）錯誤!!\n"},
    {9, texts::BLANK_LINE, "\n"},
    {10, texts::CHECKING, "檢查韌體...\n"},
    {11, texts::BUSY, "設備忙碌中... 請稍候...\n"},
    {12, texts::STATUS_ERROR, "檢查設備狀態錯誤!!\n"},
    {13, texts::NOT_RESPONDING, "設備未得到回覆!!\n"},
    {14, texts::SENDING, "發送韌體...\n"},
    {15, texts::SEND_COMMAND_ERROR, "發送韌體命令錯誤!!\n"},
    {16, texts::SEND_DATA_ERROR, "發送韌體數據錯誤!!\n"},
    {17, texts::UPGRADE_WAIT, "韌體升級，請稍候...\n在韌體更新期間，請確保設備電源隱定。\n"},
    {18, texts::REBOOT, "請重啟掃描器...\n"},
    {19, texts::BURN_DONE, "升級韌體完畢!!\n"},
    {20, texts::BURN_ERROR, "升級韌體錯誤!!\n"},
    {21, texts::USB_TIMEOUT, "USB超時錯誤!!\n"},
    {22, texts::USB_OVERLAPPED_ERROR, "獲取USB重疊結果錯誤!!\n"},
    {23, texts::USB_WRITE_ERROR, "寫入USB錯誤!!\n"},
    {24, texts::USB_READ_ERROR, "讀取USB錯誤!!\n"},
    {25, texts::USB_SIZE_MISMATCH, "請求與並返回USB數據大小不匹配!!\n"},
    {26, texts::CLOSE_FAILED, "關閉 WIA 失敗!!請重新啟動電腦，再更新一次!!\n"},
    {27, texts::START_FAILED, "啟動 WIA 失敗!!\n"},
    {28, texts::FAILED, "更新失敗: 20 秒後即將關閉視窗!!\n"},
    {29, texts::SUCCEEDED, "更新成功: 20 秒後即將關閉視窗!!\n"},
    {30, texts::CLOSING, "關閉 WIA 服務...\n"},
    {31, texts::STARTING, "啟動 WIA 服務...\n"},
    {32, texts::POWER_ON_CHECK, "檢查裝置電源開啟...\n"},
    {33, texts::POWER_OFF_CHECK, "檢查裝置電源關閉...\n"},
    {34, texts::POWER_ON_TIMEOUT, "檢查裝置電源開啟超時!!!\n"},
    {35, texts::POWER_OFF_TIMEOUT, "檢查裝置電源關閉超時!!!\n"},
    {36, texts::VERSION_CHECK, "檢查裝置韌體版本..."},
    {37, texts::RELAYED_DONE, "更新中繼固件完成，等待設備自動開機然後更新最新固件。\n"},
    {38, texts::READY, "設備已準備... 請稍候...\n"},
    {39, texts::SCAN_APP_BUSY,
     "Orvane Scan 應用程序當前正在與此計算機上的其他任務或其他用戶一起使用。 請等到其他任務完成後再試。\n"},
    {40, texts::SCAN_APP_BUSY_RETRY,
     "Orvane Scan 應用程序當前正在與此計算機上的其他任務或其他用戶一起使用。 請等到其他任務完成後再試。。。\n"},
    {41, texts::UTILITY_BUSY,
     "Tavin 應用程序當前正在與此計算機上的其他任務或其他用戶一起使用。 請等到其他任務完成後再試。\n"},
    {42, texts::NOT_ELEVATED,
     "請以系統管理員身分執行此程式 (在程式上按右鍵，選擇「以系統管理員身分執行」)，然後再試一次。電腦與掃描器均未變更。\n"},
    {43, texts::HELP_SWITCHES,
     "用法: fwupdate.exe [/s] [/c] [/?]\n  (不加參數)  更新掃描器，結束後視窗保持開啟 20 秒\n  /s  無人值守: 結束時不暫停，以結束代碼表示結果\n  /c  僅檢查: 報告現在能否更新，不做任何變更\n  /?  本說明 (亦可用 /h 或任何以 -- 開頭的選項)，不做任何變更\n參數可用 - 或 / 開頭。/a 與 /b N 只改變第一行顯示的數字。\n"},
    {44, texts::HELP_EXIT_CODES,
     "結束代碼 (使用 /s 或 /c 時；不加這兩個參數時一律為 0):\n  0     更新完成 (使用 /c 時: 現在可以更新)\n  1618  忙碌中: 另一個更新程式、Orvane Scan 或 Tavin 應用程序正在使用掃描器，\n        或掃描器仍在燒錄先前的韌體；請稍後再執行\n  40    找不到掃描器\n  41    未以系統管理員身分執行\n  42    送出韌體前失敗: 掃描器保留原有韌體\n  43    送出韌體後失敗: 掃描器可能處於復原模式；請再執行一次\n  44    更新完成，但影像服務 (WIA) 未能重新啟動\n  45    本程式內含的韌體映像已損毀\n每次執行都會在 %ProgramData%\\fwupdate\\runs.jsonl 加上一行紀錄。\n"},
    {45, texts::CHECK_ONLY, "僅檢查: 不會變更此電腦或掃描器的任何設定。"},
    {46, texts::CHECK_FIRMWARE, "掃描器正在執行其韌體。"},
    {47, texts::CHECK_RECOVERY, "掃描器處於復原模式。"},
    {48, texts::CHECK_BURNING, "掃描器正在燒錄韌體。"},
    {49, texts::CHECK_NO_ANSWER, "掃描器未回應狀態查詢。"},
    {50, texts::CHECK_UPDATER_FREE, "沒有其他更新程式正在執行。"},
    {51, texts::CHECK_UPDATER_HELD, "另一個更新程式正在執行。"},
    {52, texts::CHECK_SCAN_APP_FREE, "Orvane Scan 應用程序未使用掃描器。"},
    {53, texts::CHECK_SCAN_APP_HELD, "Orvane Scan 應用程序正在使用掃描器。"},
    {54, texts::CHECK_NO_NAME, "登錄中找不到掃描器的名稱: 無法檢查 Orvane Scan 應用程序的鎖定。"},
    {55, texts::CHECK_UTILITY_FREE, "Tavin 應用程序未使用掃描器。"},
    {56, texts::CHECK_UTILITY_HELD, "Tavin 應用程序正在使用掃描器。"},
    {57, texts::CHECK_NO_RECORD, "沒有中斷的執行留下待恢復的影像服務。"},
    {58, texts::CHECK_RECORD, "先前中斷的執行讓影像服務停止: 下次更新會先將其恢復。"},
    {59, texts::CHECK_CAN_UPDATE, "現在可以更新。"},
    {60, texts::CHECK_MUST_WAIT, "現在必須等待: 請稍後再執行。"},
    {61, texts::CHECK_CANNOT_UPDATE, "目前無法更新。"},
    {62, texts::IMAGE_DAMAGED,
     "此 fwupdate.exe 檔案已損毀或不完整（其中的韌體與檢查值不符）。請取得新的 fwupdate.exe 再執行。電腦與掃描器均未變更。\n"},
};

TEST(AppCatalogueTest, EveryEntryInBothLanguagesSitsInItsSlot)
{
    ASSERT_EQ(sizeof CATALOGUE / sizeof CATALOGUE[0], static_cast<std::size_t>(MESSAGE_COUNT));
    for (const CatalogueEntry& entry : CATALOGUE) {
        SCOPED_TRACE("id " + std::to_string(entry.id));
        const char* english = MessageText(entry.id);
        const char* chinese = MessageText(entry.id + MESSAGES_PER_LANGUAGE);
        ASSERT_NE(english, nullptr);
        ASSERT_NE(chinese, nullptr);
        EXPECT_EQ(std::string(english) + "\n", entry.english);
        // Decoded from code page 950 by the system's converter, so a byte
        // that encodes another character, or no character, shows here.
        EXPECT_EQ(apptest::Big5ToUtf8(chinese), entry.chinese);
    }
}

TEST(AppCatalogueTest, SlotsOutsideTheTwoLanguagesAreEmpty)
{
    for (const int slot : {-1, 63, 99, 163, 199, 200, 241, 499, 500, 100000}) {
        EXPECT_EQ(MessageText(slot), nullptr) << "slot " << slot;
    }
}

class AppCataloguePrintMessageTest : public SimulatedWorldFixture { };

TEST_F(AppCataloguePrintMessageTest, AddsOneLineEndAndPrintsNothingOutsideTheTable)
{
    const struct {
        MessageId id;
        std::uint16_t language;
        std::string console;
    } cases[] = {
        {36, 0, texts::VERSION_CHECK},
        {3, 0, texts::NOT_FOUND},
        {0, 1, "\xC4\xB5\xA7\x69 - no following argument!!\n\n"},
        {MESSAGE_COUNT, 0, ""},
        {99, 0, ""},
        {-1, 0, ""},
        {0, 2, ""},
        {10, 65535, ""},
    };
    StartWorld();
    for (const auto& c : cases) {
        World().console.clear();
        PrintMessage(c.id, c.language);
        EXPECT_EQ(Console(), c.console) << "id " << c.id << " language " << c.language;
    }
}

TEST_F(AppCataloguePrintMessageTest, ConsolePrintfFormatsAndStaysWithinItsBuffer)
{
    StartWorld();
    ConsolePrintf("%d\n", -2147483647 - 1);
    ConsolePrintf("%s", "Recovery Mode!!!\n");
    EXPECT_EQ(Console(), "-2147483648\nRecovery Mode!!!\n");

    // A text far longer than any message is cut, not written past the end.
    World().console.clear();
    const std::string longText(5000, 'x');
    ConsolePrintf("%s|", longText.c_str());
    EXPECT_GT(Console().size(), 200u);
    EXPECT_LT(Console().size(), 5000u);
    EXPECT_EQ(Console().find('|'), std::string::npos);
    EXPECT_EQ(Console().find('\0'), std::string::npos);
}

// The console cut into its stretches of one code page, in order; the Big5
// stretches decoded to UTF-8.
std::vector<std::pair<std::uint32_t, std::string>> ConsoleStretches()
{
    std::vector<std::pair<std::uint32_t, std::string>> stretches;
    std::size_t offset = 0;
    for (const SimConsoleRun& run : World().consoleRuns) {
        const std::string bytes = World().console.substr(offset, run.size);
        stretches.emplace_back(run.codePage, run.codePage == CODE_PAGE_BIG5 ? apptest::Big5ToUtf8(bytes) : bytes);
        offset += run.size;
    }
    EXPECT_EQ(offset, World().console.size()) << "console bytes without a code page";
    return stretches;
}

// A console shows the characters of the text it is handed only when it is
// told the right code page: Big5 for the Chinese texts, ASCII for the
// English ones and for the direct lines, whatever the language.
TEST_F(AppCataloguePrintMessageTest, TellsTheConsoleTheCodePageOfEachText)
{
    using Stretches = std::vector<std::pair<std::uint32_t, std::string>>;
    const struct {
        const char* name;
        void (*print)();
        Stretches expected;
    } cases[] = {
        {"English entry", [] { PrintMessage(MSG_DEVICE_FOUND, 0); }, {{CODE_PAGE_ASCII, "Device found!!\n\n"}}},
        {"Chinese entry", [] { PrintMessage(MSG_DEVICE_FOUND, 1); }, {{CODE_PAGE_BIG5, "設備發現!!\n\n"}}},
        {"Chinese entry of ASCII bytes alone", [] { PrintMessage(MSG_NEWLINE, 1); }, {{CODE_PAGE_BIG5, "\n\n"}}},
        {"direct line in a Chinese run",
         [] {
             Language = 1;
             ConsolePrintf("Burning firmware... (%d)\n", 3);
         },
         {{CODE_PAGE_ASCII, "Burning firmware... (3)\n"}}},
        {"one stretch per change of code page",
         [] {
             PrintMessage(MSG_DEVICE_BUSY, 1);
             PrintMessage(MSG_DEVICE_BUSY, 1);
             ConsolePrintf("Recovery Mode!!!\n");
             PrintMessage(MSG_BURN_DONE, 1);
         },
         {{CODE_PAGE_BIG5, "設備忙碌中... 請稍候...\n\n設備忙碌中... 請稍候...\n\n"},
          {CODE_PAGE_ASCII, "Recovery Mode!!!\n"},
          {CODE_PAGE_BIG5, "升級韌體完畢!!\n\n"}}},
        {"nothing outside the table", [] { PrintMessage(MESSAGE_COUNT, 1); }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        StartWorld();
        c.print();
        EXPECT_EQ(ConsoleStretches(), c.expected);
    }
}

class AppCatalogueConsoleCodePagesTest : public AppRunFixture { };

// A whole update from the recovery loader prints every kind of line: the
// echo, catalogue texts, "Recovery Mode!!!", progress lines and lone line
// ends. In Chinese the catalogue texts go out as Big5 and every direct line
// as ASCII; in English everything is ASCII.
TEST_F(AppCatalogueConsoleCodePagesTest, FollowTheLanguageForCatalogueTextsOnly)
{
    const char* const directLines[] = {"0\n", "Recovery Mode!!!\n", "Burning firmware... (1)\n", "\n"};
    for (const std::uint16_t languageId : {0x0404, 0x0409}) {
        SCOPED_TRACE(languageId);
        SetUp();
        World().languageId = languageId;
        World().scanner.recovery = true;
        World().scanner.leaveAfterMs = 9000;  // on the bus for the first presence checks
        ASSERT_EQ(Run(), 0);
        const auto stretches = ConsoleStretches();
        if (languageId == 0x0409) {
            ASSERT_EQ(stretches.size(), 1u);
            EXPECT_EQ(stretches[0].first, CODE_PAGE_ASCII);
            continue;
        }
        std::string ascii;
        std::string big5;
        for (const auto& [codePage, text] : stretches) {
            (codePage == CODE_PAGE_ASCII ? ascii : big5) += text + "|";
        }
        for (const char* line : directLines) {
            EXPECT_NE(ascii.find(line), std::string::npos) << line;
        }
        for (const char character : ascii) {
            EXPECT_EQ(static_cast<unsigned char>(character) & 0x80u, 0u) << "a non-ASCII byte handed over as ASCII";
        }
        for (const char* text :
             {"設備發現!!", "韌體升級，請稍候...", "檢查裝置電源關閉...", "升級韌體完畢!!", "更新成功"}) {
            EXPECT_NE(big5.find(text), std::string::npos) << text;
        }
    }
}

}  // namespace
