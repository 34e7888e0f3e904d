// The scanner model behind the driver, configured from the named values the
// harness stored under the driver's service key. One value per field of
// ScannerConfig, named as the field, so that a change of the configuration
// record breaks this file's build instead of silently shifting bytes.
#include "tools/wine-scanner/driver/model_bridge.h"

#include "platform/byte_order.h"
#include "scanner_model/scanner_model.h"
#include "scanner_model/usbpcap.h"

namespace {

ScannerModel g_model;

// Binary records as the harness packs them: little-endian, no padding.
constexpr uint32_t ABSENCE_RECORD = 20;  // u64 fromMs, u64 toMs, i32 thenPath
constexpr uint32_t FAULT_RECORD = 20;    // u32 direction, kind, first, count, amount

struct Reader {
    BridgeValueReader read;
    void* context;
    bool ok;

    // A 32-bit value (REG_DWORD). Absent: the default stays.
    template <typename T> void Number(const char* name, T* field)
    {
        uint8_t raw[4];
        int got = read(context, name, raw, sizeof raw);
        if (got < 0) {
            return;
        }
        if (got != 4) {
            ok = false;
            return;
        }
        *field = static_cast<T>(GetLe32(raw));
    }

    // A 64-bit value (REG_QWORD). Absent: the default stays.
    void Number64(const char* name, uint64_t* field)
    {
        uint8_t raw[8];
        int got = read(context, name, raw, sizeof raw);
        if (got < 0) {
            return;
        }
        if (got != 8) {
            ok = false;
            return;
        }
        *field = GetLe64(raw);
    }

    void Flag(const char* name, bool* field)
    {
        uint32_t value = *field ? 1 : 0;
        Number(name, &value);
        *field = value != 0;
    }

    // A binary value of whole records; returns the record count, or -1 when
    // absent.
    int Records(const char* name, uint8_t* buffer, uint32_t size, uint32_t record)
    {
        int got = read(context, name, buffer, size);
        if (got < 0) {
            return -1;
        }
        if (uint32_t(got) > size || uint32_t(got) % record != 0) {
            ok = false;
            return -1;
        }
        return got / int(record);
    }
};

}  // namespace

extern "C" int BridgeConfigure(BridgeValueReader read, void* context)
{
    ScannerConfig config = DefaultScannerConfig();
    Reader r{read, context, true};
    r.Number("path", &config.path);
    r.Number("vendorId", &config.vendorId);
    r.Number("productId", &config.productId);
    r.Flag("descriptorFails", &config.descriptorFails);
    r.Flag("recovery", &config.recovery);
    r.Number("busyState", &config.busyState);
    r.Number("busyForMs", &config.busyForMs);
    r.Number("burnMs", &config.burnMs);
    r.Number("burnEndState", &config.burnEndState);
    r.Number("leaveAfterMs", &config.leaveAfterMs);
    r.Number("absentMs", &config.absentMs);
    r.Number("returnPath", &config.returnPath);
    r.Flag("returnInRecovery", &config.returnInRecovery);
    r.Number("clockSkewSeconds", &config.clockSkewSeconds);
    r.Flag("clockScripted", &config.clockScripted);
    r.Flag("silentByCount", &config.silentByCount);
    r.Number("silentAfterTransfers", &config.silentAfterTransfers);
    r.Flag("silentByTime", &config.silentByTime);
    r.Number64("silentFromMs", &config.silentFromMs);

    uint8_t
        raw[SIM_MAX_FAULTS * FAULT_RECORD > SIM_MAX_SCRIPT * 2 ? SIM_MAX_FAULTS * FAULT_RECORD : SIM_MAX_SCRIPT * 2];
    int n = r.Records("script", raw, SIM_MAX_SCRIPT * 2, 2);
    if (n >= 0) {
        for (int i = 0; i < n; ++i) {
            config.script[i] = GetLe16(raw + 2 * i);
        }
        config.scriptLength = uint32_t(n);
    }
    n = r.Records("clockReply", raw, sizeof config.clockReply, sizeof config.clockReply);
    if (n == 1) {
        for (uint32_t i = 0; i < sizeof config.clockReply; ++i) {
            config.clockReply[i] = raw[i];
        }
    }
    n = r.Records("absences", raw, SIM_MAX_ABSENCES * ABSENCE_RECORD, ABSENCE_RECORD);
    if (n >= 0) {
        for (int i = 0; i < n; ++i) {
            const uint8_t* p = raw + i * ABSENCE_RECORD;
            config.absences[i] = SimAbsence{GetLe64(p), GetLe64(p + 8), int32_t(GetLe32(p + 16))};
        }
        config.absenceCount = uint32_t(n);
    }
    n = r.Records("faults", raw, SIM_MAX_FAULTS * FAULT_RECORD, FAULT_RECORD);
    if (n >= 0) {
        for (int i = 0; i < n; ++i) {
            const uint8_t* p = raw + i * FAULT_RECORD;
            config.faults[i] = SimFaultRule{uint8_t(GetLe32(p)), uint8_t(GetLe32(p + 4)), GetLe32(p + 8),
                                            GetLe32(p + 12), GetLe32(p + 16)};
        }
        config.faultCount = uint32_t(n);
    }
    if (!r.ok) {
        config = DefaultScannerConfig();
    }
    g_model.Reset(config);
    return r.ok ? 1 : 0;
}

extern "C" int BridgePresent(uint64_t nowMs, int32_t* path)
{
    return g_model.Present(nowMs, path) ? 1 : 0;
}

extern "C" uint32_t BridgeGeneration(uint64_t nowMs)
{
    return g_model.Generation(nowMs);
}

extern "C" void BridgeDescriptor(uint16_t* vendorId, uint16_t* productId, uint8_t* fails)
{
    *vendorId = g_model.config.vendorId;
    *productId = g_model.config.productId;
    *fails = g_model.config.descriptorFails ? 1 : 0;
}

static void Export(const ScannerTransfer& t, BridgeTransfer* out)
{
    out->answered = t.answered ? 1 : 0;
    out->callOk = t.callOk ? 1 : 0;
    out->signalled = t.signalled ? 1 : 0;
    out->resultOk = t.resultOk ? 1 : 0;
    out->count = t.count;
}

extern "C" void BridgeWrite(uint64_t nowMs, const uint8_t* data, uint32_t size, BridgeTransfer* out)
{
    Export(g_model.Write(nowMs, data, size), out);
}

extern "C" void BridgeRead(uint64_t nowMs, uint8_t* data, uint32_t size, BridgeTransfer* out)
{
    Export(g_model.Read(nowMs, data, size), out);
}

extern "C" void BridgeResetPipe(int read)
{
    g_model.ResetPipe(read != 0 ? SIM_DIR_READ : SIM_DIR_WRITE);
}

extern "C" uint32_t BridgeSnapshot(void* out, uint32_t size)
{
    if (size >= sizeof g_model) {
        const uint8_t* from = reinterpret_cast<const uint8_t*>(&g_model);
        uint8_t* to = static_cast<uint8_t*>(out);
        for (uint32_t i = 0; i < sizeof g_model; ++i) {
            to[i] = from[i];
        }
    }
    return sizeof g_model;
}

extern "C" uint32_t BridgeTraceHeader(uint8_t* out)
{
    return EncodeTraceFileHeader(out);
}

extern "C" uint32_t BridgeTraceRoom(void)
{
    return TRACE_MAX_REQUEST_BYTES;
}

extern "C" uint32_t BridgeTraceRequest(uint64_t irpId, uint64_t timeUs, uint16_t address, uint8_t kind, uint32_t size,
                                       const uint8_t* outData, uint32_t status, uint32_t count, const uint8_t* inData,
                                       uint16_t vendorId, uint16_t productId, uint8_t* out, uint32_t room)
{
    TraceRequest request = {irpId, timeUs, address, kind, size, outData, status, count, inData, vendorId, productId};
    return EncodeTraceRequest(request, out, room);
}

extern "C" uint16_t BridgeTraceAddress(int32_t path, uint32_t generation)
{
    return TraceAddress(path, generation);
}

extern "C" uint32_t BridgeTraceStatus(const BridgeTransfer* t)
{
    if (t->answered == 0) {
        return USBD_STATUS_CANCELED_VALUE;
    }
    return TraceTransferStatus(t->callOk != 0, t->signalled != 0, t->resultOk != 0);
}

extern "C" uint32_t BridgeTraceStatusGone(void)
{
    return USBD_STATUS_DEVICE_GONE_VALUE;
}

extern "C" uint32_t BridgeTraceStatusFailed(void)
{
    return USBD_STATUS_STALL_PID_VALUE;
}

extern "C" uint32_t BridgeTraceStatusNotSupported(void)
{
    return USBD_STATUS_NOT_SUPPORTED_VALUE;
}
