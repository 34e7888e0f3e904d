// CWIAControl against Wine's real imaging service. Each case puts stisvc
// into a known state through the Service Control Manager itself, runs the
// class's operations, reads the outcome back the same way, and leaves the
// service as it found it.
#include "host/wia_control.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

class HostServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        m_service = OpenServiceA(m_manager, "stisvc", SERVICE_ALL_ACCESS);
        ASSERT_NE(m_service, nullptr) << "stisvc cannot be opened: " << GetLastError();
        m_originalType = StartType();
        m_originalState = State();
        ASSERT_NE(m_originalType, 0u);
    }
    void TearDown() override
    {
        if (m_service != nullptr) {
            Arrange(m_originalState == SERVICE_RUNNING ? SERVICE_RUNNING : SERVICE_STOPPED, m_originalType);
            CloseServiceHandle(m_service);
        }
        CloseServiceHandle(m_manager);
    }

    DWORD State()
    {
        SERVICE_STATUS status{};
        return QueryServiceStatus(m_service, &status) ? status.dwCurrentState : 0;
    }
    DWORD StartType()
    {
        alignas(QUERY_SERVICE_CONFIGA) unsigned char block[8192];
        DWORD needed = 0;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(block);
        return QueryServiceConfigA(m_service, config, sizeof block, &needed) ? config->dwStartType : 0;
    }
    bool SetStartType(DWORD type)
    {
        return ChangeServiceConfigA(m_service, SERVICE_NO_CHANGE, type, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr) != FALSE;
    }
    // Start type last: a disabled service refuses to start. Each state is
    // awaited for at most 30 s.
    bool Arrange(DWORD state, DWORD startType)
    {
        SERVICE_STATUS status{};
        if (!SetStartType(SERVICE_DEMAND_START)) {
            return false;
        }
        if (state == SERVICE_RUNNING && State() == SERVICE_STOPPED) {
            StartServiceA(m_service, 0, nullptr);
        }
        if (state == SERVICE_STOPPED && State() == SERVICE_RUNNING) {
            ControlService(m_service, SERVICE_CONTROL_STOP, &status);
        }
        for (int i = 0; i < 300 && State() != state; ++i) {
            Sleep(100);
        }
        return SetStartType(startType) && State() == state && StartType() == startType;
    }

    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
    DWORD m_originalType = 0;
    DWORD m_originalState = 0;
};

TEST_F(HostServiceTest, OperationsLeaveTheServiceAsExpected)
{
    struct Case {
        const char* name;
        DWORD state;
        DWORD startType;
        const char* operations;  // S = Stop, A = Start, each on a fresh object as after a failed update
        DWORD finalState;
        DWORD finalType;
    };
    const Case cases[] = {
        {"running: Stop leaves it stopped and disabled", SERVICE_RUNNING, SERVICE_DEMAND_START, "S", SERVICE_STOPPED,
         SERVICE_DISABLED},
        // A stop control to a stopped service is refused, which would turn
        // the result into 0.
        {"stopped and disabled: Stop sends no control", SERVICE_STOPPED, SERVICE_DISABLED, "S", SERVICE_STOPPED,
         SERVICE_DISABLED},
        {"stopped and disabled: Start makes it automatic and running", SERVICE_STOPPED, SERVICE_DISABLED, "A",
         SERVICE_RUNNING, SERVICE_AUTO_START},
        // A start request to a running service is refused, likewise.
        {"running: Start leaves it running and makes it automatic", SERVICE_RUNNING, SERVICE_DEMAND_START, "A",
         SERVICE_RUNNING, SERVICE_AUTO_START},
        {"a manual start type ends automatic after Stop and Start", SERVICE_RUNNING, SERVICE_DEMAND_START, "SA",
         SERVICE_RUNNING, SERVICE_AUTO_START},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Arrange(c.state, c.startType));
        for (const char* op = c.operations; *op != '\0'; ++op) {
            CWIAControl control;
            EXPECT_TRUE(*op == 'S' ? control.Stop() : control.Start()) << *op;
        }
        EXPECT_EQ(State(), c.finalState);
        EXPECT_EQ(StartType(), c.finalType);
    }
}

}  // namespace
