// Control of the platform's imaging (still-image) service.
#pragma once
#include "platform/handle.h"
#include "platform/service.h"
#include <cstdint>

// A service that never reaches the state we wait for must not hold the
// update for ever: each wait gives up after this much time on the tick
// count, the time the service manager itself gives a service to answer.
constexpr std::uint32_t SERVICE_WAIT_LIMIT_MS = 30000;
// Between two status queries the wait sleeps a tenth of the service's wait
// hint, but at least a second, so a hint of 0 cannot turn the wait into a
// loop of queries against the service manager, and at most ten seconds, so
// a service that finishes early is seen soon.
constexpr std::uint32_t SERVICE_POLL_MIN_MS = 1000;
constexpr std::uint32_t SERVICE_POLL_MAX_MS = 10000;

class CWIAControl {
public:
    CWIAControl();
    ~CWIAControl();
    CWIAControl(const CWIAControl&) = delete;
    CWIAControl& operator=(const CWIAControl&) = delete;

    bool QueryStatus(ServiceStatus* out);
    // Reads the start type the service has now. `quiet` keeps a failed
    // configuration read off the console (the console control handler
    // prints nothing).
    bool ReadStartType(std::uint32_t* startType, bool quiet = false);
    bool SetStartType(std::uint32_t startType, bool quiet = false);
    // Changes the start type from `current`, the one the caller has just
    // read, without reading it again.
    bool ChangeStartType(std::uint32_t current, std::uint32_t startType);
    // Sets the start type, then starts a stopped service and follows it
    // until it runs.
    bool Start(std::uint32_t startType = SERVICE_AUTO_START_TYPE);
    // Start without the start type: a stopped service is started and
    // followed until it runs, one still stopping first let finish.
    bool StartAndFollow();
    // Asks a stopped service to start without following it: for the console
    // control handler, whose process Windows ends within seconds.
    bool RequestStart();
    // Stops a running service and disables it. One still starting is
    // followed until its start is over first (it takes no control before),
    // within the wait's bound; one that never gets there is a failed stop.
    // A stopped service is only disabled.
    bool Stop();
    // Whether a trigger (a device's arrival, say) may start the service by
    // itself. A count that cannot be read is taken as one: the worse case.
    bool HasStartTrigger();
    // The start type the last configuration read found, before any change.
    std::uint32_t StartTypeBefore() const { return m_startTypeBefore; }

private:
    // Follows the service after a start or stop request until it reports
    // `wanted`. True when it got there; false when a status query failed or
    // the wait's bound passed.
    bool WaitForState(std::uint32_t wanted);
    // The same wait, until `done` holds for the state reported.
    template <typename Done> bool WaitUntil(Done done);

    Handle m_hSCManager;
    Handle m_hService;
    ServiceStatus m_status;
    std::uint32_t m_startTypeBefore = 0;
};
