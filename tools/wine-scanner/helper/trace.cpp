// The driver's wire trace, fetched piece by piece through its control
// device and written to a file beside the run.
#include "tools/wine-scanner/helper/helper.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "tools/wine-scanner/driver/control.h"

namespace {

constexpr DWORD PIECE = 64 * 1024;

}  // namespace

int RunTrace(int argc, char** argv)
{
    if (argc != 1) {
        std::fprintf(stderr, "usage: fwusimctl trace FILE\n");
        return 2;
    }
    HANDLE control = CreateFileA(FWU_SIM_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (control == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "fwusimctl: the driver's control device cannot be opened (%lu)\n", GetLastError());
        return 1;
    }
    std::FILE* file = std::fopen(argv[0], "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "fwusimctl: %s cannot be written\n", argv[0]);
        CloseHandle(control);
        return 1;
    }
    std::vector<std::uint8_t> piece(PIECE);
    std::uint32_t offset = 0;
    bool ok = true;
    for (;;) {
        // The buffered request carries the offset in and the bytes out.
        std::uint32_t* asked = reinterpret_cast<std::uint32_t*>(piece.data());
        *asked = offset;
        DWORD returned = 0;
        if (!DeviceIoControl(control, FWU_SIM_IOCTL_TRACE, piece.data(), sizeof offset, piece.data(), PIECE, &returned,
                             nullptr)) {
            std::fprintf(stderr, "fwusimctl: the driver gave no trace (%lu)\n", GetLastError());
            ok = false;
            break;
        }
        if (returned == 0) {
            break;
        }
        if (std::fwrite(piece.data(), 1, returned, file) != returned) {
            ok = false;
        }
        offset += returned;
    }
    if (std::fclose(file) != 0) {
        ok = false;
    }
    CloseHandle(control);
    std::printf("{\"trace_bytes\": %u}\n", offset);
    return ok && offset > 0 ? 0 : 1;
}
