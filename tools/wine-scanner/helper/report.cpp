// What the PC and the scanner look like after the updater ran: the imaging
// service through the service manager, and everything the scanner received
// through the driver's private control device.
#include "tools/wine-scanner/helper/helper.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "platform/byte_order.h"
#include "scanner_model/scanner_model.h"
#include "tools/wine-scanner/driver/control.h"

namespace {

void PrintHex(const uint8_t* bytes, size_t size)
{
    std::putchar('"');
    for (size_t i = 0; i < size; ++i) {
        std::printf("%02x", bytes[i]);
    }
    std::putchar('"');
}

int32_t Field(const uint8_t* record, int index)
{
    return static_cast<int32_t>(GetLe32(record + 4 * index));
}

bool Ask(HANDLE control, DWORD code, void* out, DWORD size)
{
    DWORD returned = 0;
    return DeviceIoControl(control, code, nullptr, 0, out, size, &returned, nullptr) && returned == size;
}

}  // namespace

int RunReport(int, char**)
{
    HANDLE control = CreateFileA(FWU_SIM_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    FwuSimDriverState state{};
    if (control == INVALID_HANDLE_VALUE || !Ask(control, FWU_SIM_IOCTL_STATE, &state, sizeof state)) {
        std::fprintf(stderr, "fwusimctl report: the scanner driver does not answer (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    // The driver and this program build the model from the same header
    // with the same compiler; a size that differs means they do not match.
    if (state.modelSize != sizeof(ScannerModel)) {
        std::fprintf(stderr, "fwusimctl report: driver model of %u bytes, expected %u\n",
                     static_cast<unsigned>(state.modelSize), static_cast<unsigned>(sizeof(ScannerModel)));
        return 1;
    }
    std::vector<uint8_t> raw(sizeof(ScannerModel));
    if (!Ask(control, FWU_SIM_IOCTL_SNAPSHOT, raw.data(), DWORD(raw.size()))) {
        std::fprintf(stderr, "fwusimctl report: no snapshot (error %lu)\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    CloseHandle(control);
    const ScannerModel* model = reinterpret_cast<const ScannerModel*>(raw.data());

    std::printf("{\n  \"service\": ");
    PrintServiceFacts("stisvc");
    std::printf(",\n  \"driver\": {\"now_ms\": %llu, \"started\": %s, \"published_path\": %d, \"config_ok\": %s, "
                "\"foreign_devices\": %u, \"held_requests\": %u},\n",
                static_cast<unsigned long long>(state.nowMs), state.started ? "true" : "false",
                static_cast<int>(state.publishedPath), state.configOk ? "true" : "false",
                static_cast<unsigned>(state.foreignCount), static_cast<unsigned>(state.heldRequests));
    std::printf("  \"scanner\": {\"downloads\": %u, \"download_param\": %u, \"announced_length\": %u, "
                "\"image_bytes\": %llu, \"image_sha256\": ",
                model->downloads, model->downloadParam, model->announcedLength,
                static_cast<unsigned long long>(model->imageBytes));
    if (model->imageComplete) {
        PrintHex(model->imageSha256, sizeof model->imageSha256);
    } else {
        std::printf("null");
    }
    std::printf(", \"clock_held\": %s, \"clock_record\": [", model->clockHeld ? "true" : "false");
    for (int i = 0; i < 9; ++i) {
        std::printf("%s%d", i ? ", " : "", static_cast<int>(Field(model->clockRecord, i)));
    }
    std::printf("], \"clock_set_at_ms\": %llu, \"write_calls\": %u, \"read_calls\": %u, \"commands\": %u, "
                "\"status_queries\": %u, \"clock_sets\": %u, \"clock_reads\": %u, \"protocol_errors\": %u, "
                "\"burns_started\": %u, \"power_cycles\": %u, \"generation\": %u, \"transfers_answered\": %u, "
                "\"unanswered\": %u, \"pipe_resets\": %u, \"halted_pipes\": %u}\n}\n",
                static_cast<unsigned long long>(model->clockSetAtMs), model->writeCalls, model->readCalls,
                model->commandsReceived, model->statusQueries, model->clockSets, model->clockReads,
                model->protocolErrors, model->burnsStarted, model->powerCycles, model->generation,
                model->transfersAnswered, model->unanswered, model->pipeResets, unsigned(model->haltedPipes));
    return 0;
}
