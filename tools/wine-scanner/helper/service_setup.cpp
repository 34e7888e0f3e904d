// The imaging service as a scenario wants it before the updater runs, set
// through the real service manager (the registry alone would not reach a
// running service manager).
#include "tools/wine-scanner/helper/helper.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* SERVICE_NAME = "stisvc";
constexpr DWORD WAIT_LIMIT_MS = 30000;

struct Name {
    const char* text;
    DWORD value;
};

const Name STATES[] = {{"stopped", SERVICE_STOPPED}, {"running", SERVICE_RUNNING}};
const Name START_TYPES[] = {
    {"auto", SERVICE_AUTO_START}, {"manual", SERVICE_DEMAND_START}, {"disabled", SERVICE_DISABLED}};
const char* const STATE_NAMES[] = {"stopped",          "start_pending", "stop_pending", "running",
                                   "continue_pending", "pause_pending", "paused"};
const char* const START_TYPE_NAMES[] = {"boot", "system", "auto", "manual", "disabled"};

template <size_t N> bool Lookup(const Name (&names)[N], const char* text, DWORD* value)
{
    for (const Name& name : names) {
        if (std::strcmp(name.text, text) == 0) {
            *value = name.value;
            return true;
        }
    }
    return false;
}

bool WaitForState(SC_HANDLE service, DWORD wanted)
{
    for (DWORD waited = 0; waited < WAIT_LIMIT_MS; waited += 50) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status)) {
            return false;
        }
        if (status.dwCurrentState == wanted) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

bool SetStartType(SC_HANDLE service, DWORD startType)
{
    return ChangeServiceConfigA(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr) != 0;
}

int Fail(const char* what)
{
    std::fprintf(stderr, "fwusimctl service: %s failed (error %lu)\n", what,
                 static_cast<unsigned long>(GetLastError()));
    return 1;
}

}  // namespace

void PrintServiceFacts(const char* serviceName)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceA(manager, serviceName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG) : nullptr;
    SERVICE_STATUS status{};
    union {
        QUERY_SERVICE_CONFIGA config;
        char room[8192];
    } block{};
    DWORD needed = 0;
    if (service == nullptr || !QueryServiceStatus(service, &status) ||
        !QueryServiceConfigA(service, &block.config, sizeof block, &needed)) {
        std::printf("{\"installed\": false}");
    } else {
        DWORD state = status.dwCurrentState;
        DWORD startType = block.config.dwStartType;
        std::printf("{\"installed\": true, \"state\": \"%s\", \"start_type\": \"%s\"}",
                    state >= 1 && state <= 7 ? STATE_NAMES[state - 1] : "unknown",
                    startType <= 4 ? START_TYPE_NAMES[startType] : "unknown");
    }
    if (service) {
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
}

int RunServiceSetup(int argc, char** argv)
{
    DWORD state = 0, startType = 0;
    if (argc != 3 || !Lookup(STATES, argv[1], &state) || !Lookup(START_TYPES, argv[2], &startType) ||
        (std::strcmp(argv[0], "installed") != 0 && std::strcmp(argv[0], "absent") != 0)) {
        std::fprintf(stderr, "usage: fwusimctl service installed|absent stopped|running auto|manual|disabled\n");
        return 2;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return Fail("OpenSCManagerA");
    }
    SC_HANDLE service = OpenServiceA(manager, SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        return Fail("OpenServiceA");
    }

    SERVICE_STATUS status{};
    bool absent = std::strcmp(argv[0], "absent") == 0;
    if (absent || state == SERVICE_STOPPED) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            if (!WaitForState(service, SERVICE_STOPPED)) {
                return Fail("stopping the service");
            }
        }
    } else {
        // A disabled service refuses to start: start it under a start type
        // that allows it, then give it the one the scenario names.
        if (!SetStartType(service, SERVICE_DEMAND_START)) {
            return Fail("ChangeServiceConfigA");
        }
        if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_RUNNING) {
            if (!StartServiceA(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
                return Fail("StartServiceA");
            }
            if (!WaitForState(service, SERVICE_RUNNING)) {
                return Fail("starting the service");
            }
        }
    }
    if (absent) {
        if (!DeleteService(service)) {
            return Fail("DeleteService");
        }
    } else if (!SetStartType(service, startType)) {
        return Fail("ChangeServiceConfigA");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    PrintServiceFacts(SERVICE_NAME);
    std::printf("\n");
    return 0;
}
