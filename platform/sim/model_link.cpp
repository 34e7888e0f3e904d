// The world's own devices on the link: the scanner model under its path
// while it is on the bus, and other makers' devices, whose descriptors
// answer but whose bulk pipes know nothing of the scanner's commands.
#include <optional>

#include "platform/sim/device_link.h"
#include "scanner_model/usbpcap.h"

namespace {

class ModelLink final : public DeviceLink {
public:
    bool Attach(int path, SimObject* device) override;
    DeviceAnswer Describe(const SimObject& device) override;
    DeviceAnswer Write(const SimObject& device, const std::uint8_t* data, std::uint32_t size) override;
    DeviceAnswer Read(const SimObject& device, std::uint8_t* data, std::uint32_t size) override;
    void ResetPipe(const SimObject& device, std::uint8_t direction) override;
};

constexpr std::uint32_t ANSWERED = USBD_STATUS_SUCCESS_VALUE;
constexpr std::uint32_t REFUSED = USBD_STATUS_STALL_PID_VALUE;
constexpr std::uint32_t GONE = USBD_STATUS_DEVICE_GONE_VALUE;
constexpr std::uint32_t NOT_SUPPORTED = USBD_STATUS_NOT_SUPPORTED_VALUE;

// A scanner handle outlives the scanner's stay on the bus: once it has
// left (or come back under a new generation) the old handle reaches nothing.
bool ScannerLeft(const SimObject& device)
{
    SimWorld& world = World();
    return !world.model.Present(world.nowMs, nullptr) || world.model.Generation(world.nowMs) != device.generation;
}

DeviceAnswer FromScanner(const ScannerTransfer& transfer)
{
    if (!transfer.answered) {
        return {USBD_STATUS_CANCELED_VALUE, 0, 0, 0};
    }
    return {TraceTransferStatus(transfer.callOk, transfer.signalled, transfer.resultOk),
            transfer.callOk ? transfer.count : 0u, 0, 0};
}

bool ModelLink::Attach(int path, SimObject* device)
{
    SimWorld& world = World();
    if (path < 0) {
        return false;
    }
    int32_t scannerPath = -1;
    if (world.model.Present(world.nowMs, &scannerPath) && scannerPath == path) {
        device->scanner = true;
        device->generation = world.model.Generation(world.nowMs);
        return true;
    }
    for (std::size_t i = 0; i < world.foreignDevices.size(); ++i) {
        if (world.foreignDevices[i].path == path) {
            device->foreign = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

DeviceAnswer ModelLink::Describe(const SimObject& device)
{
    SimWorld& world = World();
    if (device.scanner) {
        if (ScannerLeft(device)) {
            return {GONE, 0, 0, 0};
        }
        const ScannerConfig& config = world.model.config;
        if (config.descriptorFails || world.descriptorFailsOnScanner) {
            return {REFUSED, 0, 0, 0};
        }
        return {ANSWERED, USB_DEVICE_DESCRIPTOR_SIZE, config.vendorId, config.productId};
    }
    const SimForeignDevice& foreign = world.foreignDevices[static_cast<std::size_t>(device.foreign)];
    if (foreign.descriptorFails) {
        return {REFUSED, 0, 0, 0};
    }
    return {ANSWERED, USB_DEVICE_DESCRIPTOR_SIZE, foreign.vendorId, foreign.productId};
}

// The bulk pipes: another maker's device knows nothing of the scanner's
// commands, and a scanner handle that outlived its stay reaches nothing.
std::optional<DeviceAnswer> BulkRefusal(const SimObject& device)
{
    if (!device.scanner) {
        return DeviceAnswer{NOT_SUPPORTED, 0, 0, 0};
    }
    if (ScannerLeft(device)) {
        return DeviceAnswer{GONE, 0, 0, 0};
    }
    return std::nullopt;
}

DeviceAnswer ModelLink::Write(const SimObject& device, const std::uint8_t* data, std::uint32_t size)
{
    if (const std::optional<DeviceAnswer> refusal = BulkRefusal(device)) {
        return *refusal;
    }
    SimWorld& world = World();
    return FromScanner(world.model.Write(world.nowMs, data, size));
}

DeviceAnswer ModelLink::Read(const SimObject& device, std::uint8_t* data, std::uint32_t size)
{
    if (const std::optional<DeviceAnswer> refusal = BulkRefusal(device)) {
        return *refusal;
    }
    SimWorld& world = World();
    return FromScanner(world.model.Read(world.nowMs, data, size));
}

void ModelLink::ResetPipe(const SimObject& device, std::uint8_t direction)
{
    if (device.scanner && !ScannerLeft(device)) {
        World().model.ResetPipe(direction);
    }
}

}  // namespace

DeviceLink& ModelDeviceLink()
{
    static ModelLink link;
    return link;
}

std::uint16_t BusAddressOf(const SimObject& device)
{
    return TraceAddress(device.path, device.scanner ? device.generation : 0);
}
