// Whatever answers the simulated host's device requests: the scanner model
// with the world's other devices, the replay of a recorded trace, or a
// recorder around either. A link answers in the wire's own terms, the
// completion's USBD status and the bytes that moved, as a trace records
// them; the device calls turn that into the platform's results (return
// value, last error, OVERLAPPED, event) in one place, whoever answered.
#pragma once
#include <cstdint>

#include "platform/sim/world.h"

// One request's outcome on the wire.
// `status` is the completion's USBD status, one of five: SUCCESS (the
// count moved), STALL_PID (refused, nothing moved), DEVICE_GONE (the
// handle's device left the bus), NOT_SUPPORTED (another maker's device),
// CANCELED (never answered: the driver gives the request up at the
// handle's time-out).
struct DeviceAnswer {
    std::uint32_t status = 0;    // USBD_STATUS_*_VALUE
    std::uint32_t count = 0;     // bytes moved; a descriptor's length when one came
    std::uint16_t vendorId = 0;  // the descriptor's, when one came
    std::uint16_t productId = 0;
};

class DeviceLink {
public:
    DeviceLink() = default;
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;
    virtual ~DeviceLink() = default;

    // Whether a device is on the bus under path number `path` (0..255; -1
    // for a name that is no device path) now. If so, fills in what the
    // handle about to be opened on it remembers (scanner, generation,
    // foreign device).
    virtual bool Attach(int path, SimObject* device) = 0;
    // The device descriptor request on an open device handle.
    virtual DeviceAnswer Describe(const SimObject& device) = 0;
    // A bulk write, or a bulk read into `data` (at most `size` bytes, and
    // never more than the answer's count).
    virtual DeviceAnswer Write(const SimObject& device, const std::uint8_t* data, std::uint32_t size) = 0;
    virtual DeviceAnswer Read(const SimObject& device, std::uint8_t* data, std::uint32_t size) = 0;
    // The host resets one bulk pipe of the device (SIM_DIR_WRITE or
    // SIM_DIR_READ), clearing a halt. Not a bulk request: a trace neither
    // records nor replays it.
    virtual void ResetPipe(const SimObject& device, std::uint8_t direction)
    {
        static_cast<void>(device);
        static_cast<void>(direction);
    }
};

// The link the world's own scanner model and foreign devices answer on:
// what the world uses unless SimWorld::deviceLink says otherwise.
DeviceLink& ModelDeviceLink();

// The address a device handle's requests carry on the bus.
std::uint16_t BusAddressOf(const SimObject& device);
