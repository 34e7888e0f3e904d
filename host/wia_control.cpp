#include "host/wia_control.h"

#include <cstring>
#include <memory>

#include "common/print.h"
#include "platform/clock.h"

namespace {

const char* const IMAGING_SERVICE_NAME = "STISVC";

// The configuration block goes back to the platform on every path out.
struct FixedBlockFree {
    void operator()(void* block) const { FreeFixed(block); }
};
using FixedBlock = std::unique_ptr<void, FixedBlockFree>;

}  // namespace

CWIAControl::CWIAControl() : m_hSCManager(NO_HANDLE), m_hService(NO_HANDLE), m_status{}
{
}

CWIAControl::~CWIAControl()
{
    // The manager handle goes first, as it always has.
    if (m_hSCManager != NO_HANDLE) {
        CloseServiceObject(m_hSCManager);
        m_hSCManager = NO_HANDLE;
    }
    if (m_hService != NO_HANDLE) {
        CloseServiceObject(m_hService);
        m_hService = NO_HANDLE;
    }
}

bool CWIAControl::QueryStatus(ServiceStatus* out)
{
    if (out == nullptr) {
        return false;
    }
    if (m_hSCManager == NO_HANDLE) {
        m_hSCManager = OpenServiceManager();
        if (m_hSCManager == NO_HANDLE) {
            return false;
        }
    }
    if (m_hService == NO_HANDLE) {
        m_hService = OpenNamedService(m_hSCManager, IMAGING_SERVICE_NAME);
        if (m_hService == NO_HANDLE) {
            CloseServiceObject(m_hSCManager);
            m_hSCManager = NO_HANDLE;
            return false;
        }
    }
    m_status = ServiceStatus{};
    if (!QueryServiceState(m_hService, &m_status)) {
        // Handles that can no longer read the status are dropped; the next
        // operation opens fresh ones.
        CloseServiceObject(m_hService);
        m_hService = NO_HANDLE;
        CloseServiceObject(m_hSCManager);
        m_hSCManager = NO_HANDLE;
        return false;
    }
    *out = m_status;  // `out` may be m_status itself
    return true;
}

bool CWIAControl::ReadStartType(std::uint32_t* startType, bool quiet)
{
    if (m_hSCManager == NO_HANDLE || m_hService == NO_HANDLE) {
        QueryStatus(&m_status);
        if (m_hSCManager == NO_HANDLE || m_hService == NO_HANDLE) {
            return false;
        }
    }

    // The configuration block's size is only known by asking without one.
    std::uint32_t needed = 0;
    FixedBlock block;
    if (!QueryServiceConfiguration(m_hService, nullptr, 0, &needed)) {
        const std::uint32_t error = LastError();
        if (error != ERROR_INSUFFICIENT_BUFFER_CODE) {
            if (!quiet) {
                ConsolePrintf("QueryServiceConfig failed (%d)", static_cast<int>(error));
            }
            return false;
        }
        block.reset(AllocateFixed(needed));
        if (block) {
            std::memset(block.get(), 0, needed);
        }
    }
    if (!block || !QueryServiceConfiguration(m_hService, block.get(), needed, &needed)) {
        if (!quiet) {
            ConsolePrintf("QueryServiceConfig failed (%d)", static_cast<int>(LastError()));
        }
        return false;
    }
    *startType = static_cast<const ServiceConfigHead*>(block.get())->dwStartType;
    m_startTypeBefore = *startType;
    return true;
}

bool CWIAControl::SetStartType(std::uint32_t startType, bool quiet)
{
    std::uint32_t current = 0;
    return ReadStartType(&current, quiet) && ChangeStartType(current, startType);
}

bool CWIAControl::ChangeStartType(std::uint32_t current, std::uint32_t startType)
{
    return current == startType || ChangeServiceStartType(m_hService, startType);
}

namespace {

// The pause before the next status query: a tenth of the hint, within the
// poll bounds, and never past the end of the wait.
std::uint32_t ServicePollPause(std::uint32_t waitHint, std::uint32_t elapsed)
{
    std::uint32_t pause = waitHint / 10;
    pause = pause < SERVICE_POLL_MIN_MS ? SERVICE_POLL_MIN_MS : pause;
    pause = pause > SERVICE_POLL_MAX_MS ? SERVICE_POLL_MAX_MS : pause;
    const std::uint32_t left = elapsed < SERVICE_WAIT_LIMIT_MS ? SERVICE_WAIT_LIMIT_MS - elapsed : 0;
    return pause < left ? pause : left;
}

}  // namespace

template <typename Done> bool CWIAControl::WaitUntil(Done done)
{
    // Bounded in time alone: a count of passes would end a normal stop
    // early on a PC where each pass is quick, and reading the status takes
    // the service manager's time, not ours.
    const std::uint32_t startTick = TickCount();
    if (!QueryStatus(&m_status)) {
        return false;
    }
    for (;;) {
        // A pause comes before the state is looked at, as the service
        // reports its pending state first.
        SleepMs(ServicePollPause(m_status.dwWaitHint, TickCount() - startTick));
        if (done(m_status.dwCurrentState)) {
            return true;
        }
        if (TickCount() - startTick >= SERVICE_WAIT_LIMIT_MS) {
            return false;
        }
        if (!QueryStatus(&m_status)) {
            return false;
        }
    }
}

bool CWIAControl::WaitForState(std::uint32_t wanted)
{
    return WaitUntil([wanted](std::uint32_t state) { return state == wanted; });
}

bool CWIAControl::HasStartTrigger()
{
    std::uint32_t triggers = 0;
    if (m_hService == NO_HANDLE) {
        QueryStatus(&m_status);
    }
    return m_hService == NO_HANDLE || !QueryServiceTriggerCount(m_hService, &triggers) || triggers > 0;
}

bool CWIAControl::Start(std::uint32_t startType)
{
    return SetStartType(startType) && StartAndFollow();
}

bool CWIAControl::StartAndFollow()
{
    // A service whose state cannot be read may well still be stopped:
    // reporting it as given back would leave it stopped unannounced.
    if (!QueryStatus(&m_status)) {
        return false;
    }
    // A service still on its way down would end up stopped if it were left
    // alone, while the caller is told it was given back: let it finish
    // stopping, then start it. One that never finishes is a failed start.
    if (m_status.dwCurrentState == SERVICE_STOP_PENDING_STATE && !WaitForState(SERVICE_STOPPED_STATE)) {
        return false;
    }
    // A running or starting service is left alone.
    if (m_status.dwCurrentState != SERVICE_STOPPED_STATE) {
        return true;
    }
    if (!StartNamedService(m_hService)) {
        return false;
    }
    // The start was requested; a service slow to report running is still on
    // its way, so the wait's outcome does not change the result.
    WaitForState(SERVICE_RUNNING_STATE);
    return true;
}

bool CWIAControl::RequestStart()
{
    if (!QueryStatus(&m_status)) {
        return false;
    }
    // A service still on its way down cannot be started yet; the record
    // left for the next run covers it.
    if (m_status.dwCurrentState == SERVICE_STOP_PENDING_STATE) {
        return false;
    }
    return m_status.dwCurrentState != SERVICE_STOPPED_STATE || StartNamedService(m_hService);
}

bool CWIAControl::Stop()
{
    // A service whose state cannot be read may well be running and holding
    // the scanner: going on as though it were stopped would send the update
    // past it. That is a failed stop, with the start type left as it was.
    if (!QueryStatus(&m_status)) {
        return false;
    }
    // A starting service would hold the scanner beside the image as soon as
    // it runs, and takes no stop before: its start is waited out.
    if (m_status.dwCurrentState == SERVICE_START_PENDING_STATE &&
        !WaitUntil([](std::uint32_t state) { return state != SERVICE_START_PENDING_STATE; })) {
        return false;
    }
    if (m_status.dwCurrentState == SERVICE_RUNNING_STATE) {
        if (!SendServiceStop(m_hService, &m_status)) {
            return false;
        }
        // Only a service that has said it stopped has let go of the scanner.
        // One still stopping when the wait gives up, or whose status can no
        // longer be read, may hold it yet: that is a failed stop, and its
        // start type stays as it was, so the computer restart the user is
        // sent to brings it back.
        if (!WaitForState(SERVICE_STOPPED_STATE)) {
            return false;
        }
    }
    return SetStartType(SERVICE_DISABLED_TYPE);
}
