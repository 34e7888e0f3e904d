// The scanner's wire records: the 16-byte command block, the 32-byte status
// reply and the 36-byte clock record. All multi-byte fields are
// little-endian; the records are kept as byte arrays so that the layout on
// the wire never depends on the compiler or the host.
#pragma once
#include <cstdint>

constexpr std::uint32_t COMMAND_MARKER = 0x00000220;
constexpr std::uint8_t OP_STATUS = 0x12;
constexpr std::uint8_t OP_WRITE = 0x2A;
constexpr std::uint8_t OP_READ = 0x28;
constexpr std::uint8_t SUB_DEVICE = 2;
constexpr std::uint8_t SUB_FIRMWARE = 8;
constexpr std::uint8_t SUB_CLOCK = 0x66;
constexpr std::uint16_t CLOCK_PARAM_SET = 1;
constexpr std::uint16_t CLOCK_PARAM_GET = 2;
constexpr std::uint16_t DOWNLOAD_PARAM_NORMAL = 0x1005;
constexpr std::uint16_t DOWNLOAD_PARAM_RECOVERY = 4;
constexpr std::uint16_t STATE_READY = 0;
constexpr std::uint16_t STATE_RECOVERY = 6;
constexpr std::uint16_t STATE_BURNING = 7;

constexpr std::uint32_t COMMAND_BLOCK_SIZE = 16;
constexpr std::uint32_t STATUS_REPLY_SIZE = 32;
constexpr std::uint32_t CLOCK_RECORD_SIZE = 36;

struct CommandBlock {
    std::uint8_t bytes[COMMAND_BLOCK_SIZE];
};
struct StatusReply {
    std::uint8_t bytes[STATUS_REPLY_SIZE];
};
struct ClockRecord {
    std::uint8_t bytes[CLOCK_RECORD_SIZE];
};
static_assert(sizeof(CommandBlock) == 16);
static_assert(sizeof(StatusReply) == 32);
static_assert(sizeof(ClockRecord) == 36);

// Clears all 16 bytes, then sets marker, opcode, subcode, param and length.
void BuildCommandBlock(CommandBlock* block, std::uint8_t opcode, std::uint8_t subcode, std::uint16_t param,
                       std::uint32_t length);

// The reply's state: bytes 4 and 5, little-endian; nothing else is read.
std::uint16_t ReplyState(const StatusReply& reply);

// Field i (0 = tm_sec ... 8 = tm_isdst) of a clock record.
std::int32_t ClockField(const ClockRecord& record, int index);
void SetClockField(ClockRecord* record, int index, std::int32_t value);
