// Times whole simulated downloads of the embedded image on the normal path
// and reports wall time, CPU time and peak resident memory. The updater
// itself should add little to what the simulated scanner spends on its
// digest, and should never hold a second copy of the image.
//
//   fw_download_bench [runs]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "common/sha256.h"
#include "common/shared.h"
#include "link/discovery.h"
#include "platform/sim/world.h"
#include "update/download.h"

namespace {

double CpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double WallSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

long PeakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;  // KiB on Linux
}

struct Sample {
    double wall;
    double cpu;
};

Sample TimedDownload()
{
    World() = SimWorld{};
    ResetProcessState();
    World().Start();
    DeviceHandle = RediscoverScanner();
    const double wall0 = WallSeconds();
    const double cpu0 = CpuSeconds();
    const bool done = DownloadFirmware(FIRMWARE_RESOURCE_ID, 0);
    const Sample sample{WallSeconds() - wall0, CpuSeconds() - cpu0};
    if (!done || !World().model.imageComplete || World().model.imageBytes != EmbeddedImageSize()) {
        std::fprintf(stderr, "download did not complete:\n%s", World().console.c_str());
        std::exit(1);
    }
    return sample;
}

// What the simulated scanner's digest alone costs over the same bytes.
double DigestCpuSeconds()
{
    Sha256 ctx;
    const double cpu0 = CpuSeconds();
    Sha256Init(&ctx);
    Sha256Update(&ctx, EmbeddedImageData(), EmbeddedImageSize());
    std::uint8_t digest[32];
    Sha256Final(&ctx, digest);
    const double spent = CpuSeconds() - cpu0;
    // Keep the result observable so the work is not dropped.
    if (digest[0] == 0 && digest[1] == 0 && digest[2] == 0 && digest[3] == 0) {
        std::fprintf(stderr, "unlikely digest\n");
    }
    return spent;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const long rssBeforeKiB = PeakRssKiB();

    std::vector<double> walls, cpus, digests;
    for (int i = 0; i < runs; ++i) {
        const Sample sample = TimedDownload();
        walls.push_back(sample.wall);
        cpus.push_back(sample.cpu);
    }
    const long rssAfterDownloadsKiB = PeakRssKiB();
    for (int i = 0; i < runs; ++i) {
        digests.push_back(DigestCpuSeconds());
    }

    const double imageMiB = EmbeddedImageSize() / (1024.0 * 1024.0);
    const long budgetKiB = static_cast<long>(EmbeddedImageSize() / 1024) + 8 * 1024;
    const double cpu = Median(cpus);
    const double digest = Median(digests);
    std::printf("image                 %u bytes (%.2f MiB), %d runs, medians\n", EmbeddedImageSize(), imageMiB, runs);
    std::printf("wall time             %.1f ms\n", Median(walls) * 1e3);
    std::printf("CPU time              %.1f ms\n", cpu * 1e3);
    std::printf("  scanner digest      %.1f ms (%.0f%% of CPU)\n", digest * 1e3, cpu > 0 ? 100.0 * digest / cpu : 0.0);
    std::printf("  everything else     %.1f ms\n", (cpu - digest) * 1e3);
    std::printf("peak RSS              %ld KiB (before the first run %ld KiB)\n", rssAfterDownloadsKiB, rssBeforeKiB);
    std::printf("RSS budget            %ld KiB (image + 8 MiB): %s\n", budgetKiB,
                rssAfterDownloadsKiB <= budgetKiB ? "within" : "EXCEEDED");
    return rssAfterDownloadsKiB <= budgetKiB ? 0 : 2;
}
