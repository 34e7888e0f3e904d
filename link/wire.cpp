#include "link/wire.h"

#include <cstring>

#include "platform/byte_order.h"

// Every field goes through bytes, low byte first, so the records read and
// write the same on any host and under any compiler's packing.
namespace {

// Offsets inside the command block; the bytes between them stay zero.
constexpr int MARKER_AT = 0;
constexpr int OPCODE_AT = 4;
constexpr int SUBCODE_AT = 6;
constexpr int PARAM_AT = 8;
constexpr int LENGTH_AT = 12;
constexpr int STATE_AT = 4;
constexpr int CLOCK_FIELD_COUNT = 9;

}  // namespace

void BuildCommandBlock(CommandBlock* block, std::uint8_t opcode, std::uint8_t subcode, std::uint16_t param,
                       std::uint32_t length)
{
    // Reserved bytes must go out as zero, so the block starts clean whatever
    // the caller's buffer held before.
    std::memset(block->bytes, 0, sizeof block->bytes);
    PutLe32(block->bytes + MARKER_AT, COMMAND_MARKER);
    block->bytes[OPCODE_AT] = opcode;
    block->bytes[SUBCODE_AT] = subcode;
    PutLe16(block->bytes + PARAM_AT, param);
    PutLe32(block->bytes + LENGTH_AT, length);
}

std::uint16_t ReplyState(const StatusReply& reply)
{
    return GetLe16(reply.bytes + STATE_AT);
}

std::int32_t ClockField(const ClockRecord& record, int index)
{
    if (index < 0 || index >= CLOCK_FIELD_COUNT) {
        return 0;
    }
    return static_cast<std::int32_t>(GetLe32(record.bytes + 4 * index));
}

void SetClockField(ClockRecord* record, int index, std::int32_t value)
{
    if (index < 0 || index >= CLOCK_FIELD_COUNT) {
        return;
    }
    PutLe32(record->bytes + 4 * index, static_cast<std::uint32_t>(value));
}
