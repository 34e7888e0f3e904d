// Times the reading of a wire trace for its replay, for the same number of
// requests on one device address and spread over every address a trace can
// name. Working out when each device is on the bus must cost the same per
// request either way: a crafted file may use all 65,535 addresses.
//
//   fw_replay_bench [requests]     (default 200000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/sim/wire_replay.h"
#include "scanner_model/usbpcap.h"

namespace {

constexpr std::uint32_t ADDRESSES = 65535;

// `requests` answered descriptor requests, the i-th on address
// 1 + i % `addresses`, a millisecond apart.
std::vector<std::uint8_t> MakeTrace(std::uint32_t requests, std::uint32_t addresses)
{
    std::vector<std::uint8_t> bytes(PCAP_FILE_HEADER_SIZE);
    EncodeTraceFileHeader(bytes.data());
    std::uint8_t packets[TRACE_MAX_REQUEST_BYTES];
    for (std::uint32_t i = 0; i < requests; ++i) {
        TraceRequest request{};
        request.irpId = i + 1;
        request.timeUs = static_cast<std::uint64_t>(i) * 1000;
        request.device = static_cast<std::uint16_t>(1 + i % addresses);
        request.kind = TRACE_DESCRIPTOR;
        request.status = USBD_STATUS_SUCCESS_VALUE;
        request.count = USB_DEVICE_DESCRIPTOR_SIZE;
        request.vendorId = 0x1234;
        request.productId = 0x5678;
        const std::uint32_t used = EncodeTraceRequest(request, packets, sizeof packets);
        bytes.insert(bytes.end(), packets, packets + used);
    }
    return bytes;
}

double SecondsToRead(const std::vector<std::uint8_t>& bytes)
{
    WireReplay replay;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    if (!replay.Parse(bytes, &error)) {
        std::fprintf(stderr, "fw_replay_bench: the made trace was refused: %s\n", error.c_str());
        std::exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
    const std::uint32_t requests = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 200000;
    const std::vector<std::uint8_t> one = MakeTrace(requests, 1);
    const std::vector<std::uint8_t> every = MakeTrace(requests, ADDRESSES);
    const double oneSeconds = SecondsToRead(one);
    const double everySeconds = SecondsToRead(every);
    std::printf("%u requests, %zu bytes: one address %.3f s, %u addresses %.3f s, ratio %.2f\n", requests, one.size(),
                oneSeconds, ADDRESSES, everySeconds, everySeconds / oneSeconds);
    return 0;
}
