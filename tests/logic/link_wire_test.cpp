// The wire records as the scanner sees them: byte images written out by
// hand, so a mistake in byte order, offset or reserved bytes shows up here
// before it reaches the device.
#include <array>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "link/wire.h"
#include "scanner_model/wire_values.h"

namespace {

using Bytes16 = std::array<std::uint8_t, 16>;

struct BlockCase {
    const char* name;
    std::uint8_t opcode;
    std::uint8_t subcode;
    std::uint16_t param;
    std::uint32_t length;
    Bytes16 image;
};

const BlockCase BLOCK_CASES[] = {
    {"device status",
     OP_STATUS,
     SUB_DEVICE,
     0,
     0,
     {0x20, 0x02, 0x00, 0x00, 0x12, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {"firmware status",
     OP_STATUS,
     SUB_FIRMWARE,
     0,
     0,
     {0x20, 0x02, 0x00, 0x00, 0x12, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {"clock set",
     OP_WRITE,
     SUB_CLOCK,
     CLOCK_PARAM_SET,
     36,
     {0x20, 0x02, 0x00, 0x00, 0x2A, 0x00, 0x66, 0x00, 0x01, 0x00, 0x00, 0x00, 0x24, 0x00, 0x00, 0x00}},
    {"clock read",
     OP_READ,
     SUB_CLOCK,
     CLOCK_PARAM_GET,
     36,
     {0x20, 0x02, 0x00, 0x00, 0x28, 0x00, 0x66, 0x00, 0x02, 0x00, 0x00, 0x00, 0x24, 0x00, 0x00, 0x00}},
    {"download, normal",
     OP_WRITE,
     SUB_FIRMWARE,
     DOWNLOAD_PARAM_NORMAL,
     13633428,
     {0x20, 0x02, 0x00, 0x00, 0x2A, 0x00, 0x08, 0x00, 0x05, 0x10, 0x00, 0x00, 0x94, 0x07, 0xD0, 0x00}},
    {"download, recovery",
     OP_WRITE,
     SUB_FIRMWARE,
     DOWNLOAD_PARAM_RECOVERY,
     13633428,
     {0x20, 0x02, 0x00, 0x00, 0x2A, 0x00, 0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x94, 0x07, 0xD0, 0x00}},
    {"every length byte used",
     OP_WRITE,
     SUB_FIRMWARE,
     0xABCD,
     0xFEDCBA98,
     {0x20, 0x02, 0x00, 0x00, 0x2A, 0x00, 0x08, 0x00, 0xCD, 0xAB, 0x00, 0x00, 0x98, 0xBA, 0xDC, 0xFE}},
};

TEST(LinkWireTest, BlocksHaveTheirByteImagesEvenOverADirtyBuffer)
{
    for (const BlockCase& c : BLOCK_CASES) {
        SCOPED_TRACE(c.name);
        CommandBlock block;
        // Reserved bytes must be zero on the wire whatever the buffer held.
        std::memset(block.bytes, 0xEE, sizeof block.bytes);
        BuildCommandBlock(&block, c.opcode, c.subcode, c.param, c.length);
        Bytes16 got;
        std::memcpy(got.data(), block.bytes, got.size());
        EXPECT_EQ(got, c.image);
    }
}

TEST(LinkWireTest, ReplyStateComesFromBytesFourAndFiveOnly)
{
    const struct {
        std::uint8_t fill;  // every byte other than 4 and 5
        std::uint8_t low, high;
        std::uint16_t state;
    } cases[] = {
        {0xFF, 0x07, 0x00, STATE_BURNING},
        {0x07, 0x00, 0x00, STATE_READY},
        {0x00, 0x00, 0x07, 0x0700},
        {0x00, 0x34, 0x12, 0x1234},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        StatusReply reply;
        std::memset(reply.bytes, c.fill, sizeof reply.bytes);
        reply.bytes[4] = c.low;
        reply.bytes[5] = c.high;
        EXPECT_EQ(ReplyState(reply), c.state);
    }
}

TEST(LinkWireTest, ClockFieldsAreSignedLittleEndianInTmOrderAndStayInTheRecord)
{
    ClockRecord record;
    std::memset(record.bytes, 0, sizeof record.bytes);
    SetClockField(&record, 0, 0x12345678);  // tm_sec
    SetClockField(&record, 5, 126);         // tm_year
    SetClockField(&record, 8, -1);          // tm_isdst
    SetClockField(&record, 9, 0x55);        // outside the record: ignored
    SetClockField(&record, -1, 0x55);
    const std::uint8_t expected[36] = {
        0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0,    0,    0, 0, 0, 0,  //
        0x7E, 0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
    };
    EXPECT_EQ(0, std::memcmp(record.bytes, expected, sizeof expected));

    record.bytes[16] = 0xFE;  // tm_mon = -2
    record.bytes[17] = record.bytes[18] = record.bytes[19] = 0xFF;
    EXPECT_EQ(ClockField(record, 4), -2);
    EXPECT_EQ(ClockField(record, 0), 0x12345678);
    EXPECT_EQ(ClockField(record, 8), -1);
    EXPECT_EQ(ClockField(record, 9), 0);
}

}  // namespace

namespace {

// The simulated scanner keeps its own statement of the protocol; the two
// tables must agree value for value, or one side speaks a different wire.
TEST(LinkWireTest, ScannerModelTableAgreesWithUpdaterTable)
{
    struct Pair {
        const char* name;
        std::uint32_t updater;
        std::uint32_t scanner;
    };
    const Pair pairs[] = {
        {"marker", COMMAND_MARKER, scanner_wire::MARKER},
        {"status opcode", OP_STATUS, scanner_wire::OPCODE_STATUS},
        {"write opcode", OP_WRITE, scanner_wire::OPCODE_WRITE},
        {"read opcode", OP_READ, scanner_wire::OPCODE_READ},
        {"firmware subcode", SUB_FIRMWARE, scanner_wire::SUBCODE_FIRMWARE},
        {"clock subcode", SUB_CLOCK, scanner_wire::SUBCODE_CLOCK},
        {"normal download", DOWNLOAD_PARAM_NORMAL, scanner_wire::PARAM_BURN},
        {"recovery download", DOWNLOAD_PARAM_RECOVERY, scanner_wire::PARAM_POWER_CYCLE},
        {"recovery state", STATE_RECOVERY, scanner_wire::STATE_RECOVERY_VALUE},
        {"burning state", STATE_BURNING, scanner_wire::STATE_BURNING_VALUE},
        {"command block size", COMMAND_BLOCK_SIZE, scanner_wire::BLOCK_SIZE},
        {"status reply size", STATUS_REPLY_SIZE, scanner_wire::REPLY_SIZE},
        {"clock record size", CLOCK_RECORD_SIZE, scanner_wire::RECORD_SIZE},
    };
    for (const Pair& pair : pairs) {
        EXPECT_EQ(pair.updater, pair.scanner) << pair.name;
    }
}

}  // namespace
