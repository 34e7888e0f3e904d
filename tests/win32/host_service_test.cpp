// CWIAControl against Wine's real imaging service. Every test puts stisvc
// into a known state through the Service Control Manager itself, runs one
// operation, reads the outcome back the same way, and leaves the service
// as it found it.
#include "host/wia_control.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// Reads and sets the service's state directly, without the class under test.
class ImagingService {
public:
    ImagingService()
    {
        m_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (m_manager != nullptr) {
            m_service = OpenServiceA(m_manager, "stisvc", SERVICE_ALL_ACCESS);
        }
    }
    ~ImagingService()
    {
        if (m_service != nullptr) CloseServiceHandle(m_service);
        if (m_manager != nullptr) CloseServiceHandle(m_manager);
    }
    ImagingService(const ImagingService&) = delete;
    ImagingService& operator=(const ImagingService&) = delete;

    bool Usable() const { return m_service != nullptr; }

    DWORD State()
    {
        SERVICE_STATUS status{};
        return QueryServiceStatus(m_service, &status) ? status.dwCurrentState : 0;
    }

    DWORD StartType()
    {
        DWORD needed = 0;
        QueryServiceConfigA(m_service, nullptr, 0, &needed);
        if (needed == 0) return 0;
        auto* config = static_cast<QUERY_SERVICE_CONFIGA*>(LocalAlloc(LMEM_FIXED, needed));
        DWORD type = 0;
        if (config != nullptr && QueryServiceConfigA(m_service, config, needed, &needed)) {
            type = config->dwStartType;
        }
        LocalFree(config);
        return type;
    }

    bool SetStartType(DWORD type)
    {
        return ChangeServiceConfigA(m_service, SERVICE_NO_CHANGE, type, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr) != FALSE;
    }

    // Brings the service to running or stopped and waits (at most 30 s)
    // until it reports that state.
    bool MakeRunning()
    {
        if (State() != SERVICE_RUNNING && !StartServiceA(m_service, 0, nullptr) &&
            GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
            return false;
        }
        return WaitFor(SERVICE_RUNNING);
    }
    bool MakeStopped()
    {
        SERVICE_STATUS status{};
        if (State() == SERVICE_RUNNING && !ControlService(m_service, SERVICE_CONTROL_STOP, &status)) {
            return false;
        }
        return WaitFor(SERVICE_STOPPED);
    }

private:
    bool WaitFor(DWORD state)
    {
        for (int i = 0; i < 300; ++i) {
            if (State() == state) return true;
            Sleep(100);
        }
        return false;
    }

    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
};

class HostImagingServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_service.Usable()) << "stisvc cannot be opened: " << GetLastError();
        m_originalType = m_service.StartType();
        m_originalState = m_service.State();
        ASSERT_NE(m_originalType, 0u);
    }
    void TearDown() override
    {
        if (m_originalState == SERVICE_RUNNING) {
            m_service.SetStartType(SERVICE_DEMAND_START);
            m_service.MakeRunning();
        } else {
            m_service.MakeStopped();
        }
        m_service.SetStartType(m_originalType);
    }

    // Start type first: a disabled service refuses to start.
    void Arrange(DWORD state, DWORD startType)
    {
        ASSERT_TRUE(m_service.SetStartType(SERVICE_DEMAND_START));
        ASSERT_TRUE(state == SERVICE_RUNNING ? m_service.MakeRunning() : m_service.MakeStopped());
        ASSERT_TRUE(m_service.SetStartType(startType));
        ASSERT_EQ(m_service.State(), state);
        ASSERT_EQ(m_service.StartType(), startType);
    }

    ImagingService m_service;
    DWORD m_originalType = 0;
    DWORD m_originalState = 0;
};

TEST_F(HostImagingServiceTest, StopLeavesARunningServiceStoppedAndDisabled)
{
    Arrange(SERVICE_RUNNING, SERVICE_DEMAND_START);
    CWIAControl control;
    EXPECT_EQ(control.Stop(), 1);
    EXPECT_EQ(m_service.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(m_service.StartType(), static_cast<DWORD>(SERVICE_DISABLED));
}

TEST_F(HostImagingServiceTest, StopSendsNoControlToAStoppedDisabledService)
{
    // A stop control to a stopped service is refused, which would turn the
    // result into 0.
    Arrange(SERVICE_STOPPED, SERVICE_DISABLED);
    CWIAControl control;
    EXPECT_EQ(control.Stop(), 1);
    EXPECT_EQ(m_service.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(m_service.StartType(), static_cast<DWORD>(SERVICE_DISABLED));
}

TEST_F(HostImagingServiceTest, StartMakesAStoppedDisabledServiceAutomaticAndRunning)
{
    Arrange(SERVICE_STOPPED, SERVICE_DISABLED);
    CWIAControl control;
    EXPECT_EQ(control.Start(), 1);
    EXPECT_EQ(m_service.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(m_service.StartType(), static_cast<DWORD>(SERVICE_AUTO_START));
}

TEST_F(HostImagingServiceTest, StartLeavesARunningServiceRunningAndMakesItAutomatic)
{
    // A start request to a running service is refused, which would turn the
    // result into 0.
    Arrange(SERVICE_RUNNING, SERVICE_DEMAND_START);
    CWIAControl control;
    EXPECT_EQ(control.Start(), 1);
    EXPECT_EQ(m_service.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(m_service.StartType(), static_cast<DWORD>(SERVICE_AUTO_START));
}

TEST_F(HostImagingServiceTest, ManualStartTypeEndsAutomaticAfterStopAndStart)
{
    Arrange(SERVICE_RUNNING, SERVICE_DEMAND_START);
    {
        CWIAControl control;
        ASSERT_EQ(control.Stop(), 1);
    }
    EXPECT_EQ(m_service.StartType(), static_cast<DWORD>(SERVICE_DISABLED));
    {
        // A fresh object, as after a failed update.
        CWIAControl control;
        ASSERT_EQ(control.Start(), 1);
    }
    EXPECT_EQ(m_service.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(m_service.StartType(), static_cast<DWORD>(SERVICE_AUTO_START));
}

}  // namespace
