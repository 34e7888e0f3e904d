// The service operations against Wine's own Service Control Manager and its
// imaging service, in the build's own Wine prefix. Every test leaves the
// service's start type as it found it.
#include "platform/service.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

constexpr const char* IMAGING_SERVICE = "STISVC";

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_manager = OpenServiceManager();
        ASSERT_NE(m_manager, NO_HANDLE) << LastError();
        m_service = OpenNamedService(m_manager, IMAGING_SERVICE);
        ASSERT_NE(m_service, NO_HANDLE) << LastError();
    }
    void TearDown() override
    {
        if (m_service != NO_HANDLE) {
            CloseServiceObject(m_service);
        }
        if (m_manager != NO_HANDLE) {
            CloseServiceObject(m_manager);
        }
    }

    // The two-call configuration query, as the service class makes it.
    bool ReadConfig(ServiceConfigHead* head)
    {
        std::uint32_t needed = 0;
        if (QueryServiceConfiguration(m_service, nullptr, 0, &needed) ||
            LastError() != ERROR_INSUFFICIENT_BUFFER_CODE || needed == 0) {
            return false;
        }
        void* block = AllocateFixed(needed);
        if (block == nullptr) {
            return false;
        }
        const bool ok = QueryServiceConfiguration(m_service, block, needed, &needed);
        if (ok) {
            *head = *static_cast<ServiceConfigHead*>(block);
        }
        FreeFixed(block);
        return ok;
    }

    // Follows the service until it reaches `state`; false when a query
    // fails or it never gets there.
    bool WaitForState(std::uint32_t state)
    {
        for (int pass = 0; pass < 60; ++pass) {
            ServiceStatus status{};
            if (!QueryServiceState(m_service, &status)) {
                return false;
            }
            if (status.dwCurrentState == state) {
                return true;
            }
            Sleep(status.dwWaitHint > 0 && status.dwWaitHint < 1000 ? status.dwWaitHint : 500);
        }
        return false;
    }

    Handle m_manager = NO_HANDLE;
    Handle m_service = NO_HANDLE;
};

TEST(ServiceOpenTest, UnknownServiceIsRefused)
{
    Handle manager = OpenServiceManager();
    ASSERT_NE(manager, NO_HANDLE);
    EXPECT_EQ(OpenNamedService(manager, "NoSuchImagingService"), NO_HANDLE);
    EXPECT_EQ(LastError(), static_cast<std::uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
    CloseServiceObject(manager);
}

TEST_F(ServiceTest, StatusAndConfigurationCanBeRead)
{
    ServiceStatus status{};
    status.dwServiceType = 0xFFFFFFFF;
    ASSERT_TRUE(QueryServiceState(m_service, &status));
    EXPECT_NE(status.dwServiceType, 0xFFFFFFFFu);
    EXPECT_GE(status.dwCurrentState, SERVICE_STOPPED_STATE);
    EXPECT_LE(status.dwCurrentState, 7u);

    std::uint32_t needed = 0;
    EXPECT_FALSE(QueryServiceConfiguration(m_service, nullptr, 0, &needed));
    EXPECT_EQ(LastError(), ERROR_INSUFFICIENT_BUFFER_CODE);
    EXPECT_GT(needed, sizeof(ServiceConfigHead));

    ServiceConfigHead head{};
    ASSERT_TRUE(ReadConfig(&head));
    EXPECT_GE(head.dwStartType, SERVICE_AUTO_START_TYPE);
    EXPECT_LE(head.dwStartType, SERVICE_DISABLED_TYPE);
}

TEST_F(ServiceTest, StartTypeChangesAloneAndBack)
{
    ServiceConfigHead before{};
    ASSERT_TRUE(ReadConfig(&before));
    const std::uint32_t targets[] = {SERVICE_DISABLED_TYPE, SERVICE_AUTO_START_TYPE, before.dwStartType};
    for (std::uint32_t target : targets) {
        SCOPED_TRACE(target);
        ASSERT_TRUE(ChangeServiceStartType(m_service, target)) << LastError();
        ServiceConfigHead after{};
        ASSERT_TRUE(ReadConfig(&after));
        EXPECT_EQ(after.dwStartType, target);
        // Everything else of the configuration stays as it was.
        EXPECT_EQ(after.dwServiceType, before.dwServiceType);
        EXPECT_EQ(after.dwErrorControl, before.dwErrorControl);
    }
}

// Refusals must come back as failures with the manager's own reason.
TEST_F(ServiceTest, RefusedRequestsFailWithTheManagersReason)
{
    ServiceConfigHead config{};
    ASSERT_TRUE(ReadConfig(&config));
    ServiceStatus status{};
    ASSERT_TRUE(QueryServiceState(m_service, &status));
    if (status.dwCurrentState != SERVICE_STOPPED_STATE) {
        ASSERT_TRUE(SendServiceStop(m_service, &status)) << LastError();
        ASSERT_TRUE(WaitForState(SERVICE_STOPPED_STATE));
    }

    EXPECT_FALSE(SendServiceStop(m_service, &status));
    EXPECT_EQ(LastError(), static_cast<std::uint32_t>(ERROR_SERVICE_NOT_ACTIVE));

    ASSERT_TRUE(ChangeServiceStartType(m_service, SERVICE_DISABLED_TYPE));
    EXPECT_FALSE(StartNamedService(m_service));
    EXPECT_EQ(LastError(), static_cast<std::uint32_t>(ERROR_SERVICE_DISABLED));

    EXPECT_TRUE(ChangeServiceStartType(m_service, config.dwStartType));
}

} // namespace
