// The service operations against Wine's own Service Control Manager and its
// imaging service. The test leaves the start type as it found it.
#include "platform/service.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// The two-call configuration query, as the service class makes it.
bool ReadConfig(Handle service, ServiceConfigHead* head)
{
    std::uint32_t needed = 0;
    if (QueryServiceConfiguration(service, nullptr, 0, &needed) || LastError() != ERROR_INSUFFICIENT_BUFFER_CODE ||
        needed <= sizeof(ServiceConfigHead)) {
        return false;
    }
    void* block = AllocateFixed(needed);
    const bool ok = block != nullptr && QueryServiceConfiguration(service, block, needed, &needed);
    if (ok) {
        *head = *static_cast<ServiceConfigHead*>(block);
    }
    FreeFixed(block);
    return ok;
}

TEST(PlatformServiceTest, StartTypeChangesAloneAndRefusalsKeepTheirReason)
{
    Handle manager = OpenServiceManager();
    ASSERT_NE(manager, NO_HANDLE) << LastError();
    EXPECT_EQ(OpenNamedService(manager, "NoSuchImagingService"), NO_HANDLE);
    Handle service = OpenNamedService(manager, "STISVC");
    ASSERT_NE(service, NO_HANDLE) << LastError();
    ServiceConfigHead before{};
    ASSERT_TRUE(ReadConfig(service, &before));

    // Stopped and disabled: a stop and a start are both refused, each with
    // the manager's own reason.
    ServiceStatus status{};
    ASSERT_TRUE(QueryServiceState(service, &status));
    ASSERT_TRUE(status.dwCurrentState != SERVICE_RUNNING_STATE || SendServiceStop(service, &status));
    for (int pass = 0; pass < 100 && status.dwCurrentState != SERVICE_STOPPED_STATE; ++pass) {
        Sleep(100);
        ASSERT_TRUE(QueryServiceState(service, &status));
    }
    ASSERT_EQ(status.dwCurrentState, SERVICE_STOPPED_STATE);
    EXPECT_FALSE(SendServiceStop(service, &status));
    EXPECT_EQ(LastError(), static_cast<std::uint32_t>(ERROR_SERVICE_NOT_ACTIVE));

    for (std::uint32_t target : {SERVICE_DISABLED_TYPE, SERVICE_AUTO_START_TYPE, before.dwStartType}) {
        SCOPED_TRACE(target);
        ASSERT_TRUE(ChangeServiceStartType(service, target)) << LastError();
        ServiceConfigHead after{};
        ASSERT_TRUE(ReadConfig(service, &after));
        EXPECT_EQ(after.dwStartType, target);
        EXPECT_EQ(after.dwServiceType, before.dwServiceType);
        EXPECT_EQ(after.dwErrorControl, before.dwErrorControl);
        if (target == SERVICE_DISABLED_TYPE) {
            EXPECT_FALSE(StartNamedService(service));
            EXPECT_EQ(LastError(), static_cast<std::uint32_t>(ERROR_SERVICE_DISABLED));
        }
    }
    CloseServiceObject(service);
    CloseServiceObject(manager);
}

}  // namespace
