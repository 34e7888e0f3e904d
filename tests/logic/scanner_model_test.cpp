// The simulated scanner's phase rules, driven through the platform's device
// calls alone. Everything else the model does (states, burn, power cycle,
// faults, clock) is pinned by the link and update tests that run over it;
// these rules are what make a host that skips or repeats a phase fail there.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/device.h"
#include "tests/logic/sim_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A command block written out byte by byte from the wire layout.
Bytes Command(std::uint8_t opcode, std::uint8_t subcode, std::uint8_t param, std::uint8_t length)
{
    return {0x20, 0x02, 0, 0, opcode, 0, subcode, 0, param, 0, 0, 0, length, 0, 0, 0};
}

const Bytes STATUS = Command(0x12, 2, 0, 0);
const Bytes CLOCK_SET = Command(0x2A, 0x66, 1, 36);
const Bytes CLOCK_GET = Command(0x28, 0x66, 2, 36);

struct Step {
    bool write;
    Bytes bytes;         // what a write sends
    std::uint32_t size;  // what a read asks for
    bool callOk;
    std::uint32_t count;  // what a successful call reports
};

Step W(Bytes bytes, bool ok = true)
{
    const auto n = static_cast<std::uint32_t>(bytes.size());
    return {true, std::move(bytes), 0, ok, ok ? n : 0};
}
Step R(std::uint32_t size, std::uint32_t count)
{
    return {false, {}, size, count != 0, count};
}
Step NothingToRead()
{
    return R(32, 0);
}

class ScannerModelTest : public SimulatedWorldFixture { };

TEST_F(ScannerModelTest, ScannerAcceptsOnlyTheWireOrder)
{
    Bytes badMarker = STATUS;
    badMarker[1] = 0x03;
    const Bytes cutBlock(STATUS.begin(), STATUS.end() - 1);
    const struct {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"status: block, reply once, block again", {NothingToRead(), W(STATUS), R(32, 32), NothingToRead(), W(STATUS)}},
        {"data where the reply is due is refused; the reply stays",
         {W(CLOCK_SET), W(Bytes(36, 1), false), R(32, 32), W(Bytes(36, 1))}},
        {"a block with another marker is refused", {W(badMarker, false), NothingToRead()}},
        {"a block of 15 bytes is refused", {W(cutBlock, false)}},
        {"reply in pieces, a short packet ends it", {W(STATUS), R(20, 20), R(20, 12), NothingToRead()}},
        {"a new block drops an unread reply", {W(STATUS), W(STATUS), R(32, 32), NothingToRead()}},
        {"clock set takes exactly the announced bytes",
         {W(CLOCK_SET), R(32, 32), W(Bytes(37, 1), false), W(Bytes(36, 1)), NothingToRead(), W(STATUS)}},
        {"clock read: reply, one record, then nothing", {W(CLOCK_GET), R(32, 32), R(36, 36), R(36, 0), W(STATUS)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        StartWorld();
        const Handle device = OpenDevicePath("\\\\.\\usbscan0");
        int index = 0;
        for (const Step& s : c.steps) {
            SCOPED_TRACE("step " + std::to_string(++index));
            Bytes data = s.write ? s.bytes : Bytes(s.size);
            const Handle event = CreateCompletionEvent();
            TransferOverlapped overlapped{};
            overlapped.hEvent = event;
            std::uint32_t count = 0;
            const auto size = static_cast<std::uint32_t>(data.size());
            const bool ok = s.write ? WriteDevice(device, data.data(), size, &count, &overlapped)
                                    : ReadDevice(device, data.data(), size, &count, &overlapped);
            EXPECT_EQ(ok, s.callOk);
            if (ok) {
                EXPECT_EQ(count, s.count);
            }
            CloseObject(event);
        }
    }
}

}  // namespace
