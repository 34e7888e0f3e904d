// The wire values the scanner understands, for the scanner model and for
// the tools that read its traffic back (the replay of a wire trace). They
// are written out here on purpose, apart from the updater's link/wire.h: the
// simulated scanner states the protocol independently, so a wrong value in
// the updater shows up as a disagreement instead of being shared by both
// sides. A test checks that the two tables agree value for value.
#pragma once
#include <stdint.h>

namespace scanner_wire {

const uint32_t MARKER = 0x00000220u;
const uint8_t OPCODE_STATUS = 0x12;
const uint8_t OPCODE_WRITE = 0x2A;
const uint8_t OPCODE_READ = 0x28;
const uint8_t SUBCODE_FIRMWARE = 8;
const uint8_t SUBCODE_CLOCK = 0x66;
const uint16_t PARAM_BURN = 0x1005;
const uint16_t PARAM_POWER_CYCLE = 4;
const uint16_t STATE_RECOVERY_VALUE = 6;
const uint16_t STATE_BURNING_VALUE = 7;
const uint32_t BLOCK_SIZE = 16;
const uint32_t REPLY_SIZE = 32;
const uint32_t RECORD_SIZE = 36;

}  // namespace scanner_wire
