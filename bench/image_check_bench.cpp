// Times the start's check of the embedded image (find, load and lock the
// image and its stored digest, SHA-256 over every image byte, compare), as
// every run pays it before anything else. Reports the median and the
// slowest of the runs and the hashing rate.
//
//   fw_image_check_bench [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/shared.h"
#include "platform/sim/world.h"
#include "update/firmware_image.h"

namespace {

double WallSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    World() = SimWorld{};
    World().recordCalls = false;
    World().Start();
    Language = 0;
    std::vector<double> seconds;
    for (int run = 0; run < runs; ++run) {
        const double start = WallSeconds();
        const bool intact = EmbeddedImageIsIntact();
        seconds.push_back(WallSeconds() - start);
        if (!intact) {
            std::fprintf(stderr, "the embedded image does not match its digest\n");
            return 1;
        }
    }
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2];
    const double mib = EmbeddedImageSize() / (1024.0 * 1024.0);
    std::printf("image        %u bytes (%.2f MiB), %d runs\n", EmbeddedImageSize(), mib, runs);
    std::printf("check        median %.1f ms, slowest %.1f ms\n", median * 1e3, seconds.back() * 1e3);
    std::printf("rate         %.0f MiB/s\n", mib / median);
    return 0;
}
