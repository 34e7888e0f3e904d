// What the update driver's tests share: a simulated PC on which a whole
// update can succeed, a way to run the program with a given command line,
// and a decoder that turns the console's code page 950 bytes into UTF-8 so
// that Chinese output can be compared with text typed as characters.
#pragma once
#include <iconv.h>

#include <string>
#include <vector>

#include "platform/sim/world.h"
#include "scenario_runner/updater_process.h"
#include "tests/logic/sim_fixture.h"

namespace apptest {

inline const char* const SCANNER_PATH = "\\\\.\\usbscan0";
inline const char* const SCANNER_NAME = "Orvane Scanner";
inline const char* const SCANNER_MUTEX = "Global\\ORVANE_SCAN_EXT_APP_MUTEX_Orvane Scanner";
inline const char* const UTILITY_MUTEX = "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}";
// The updater's record of a service owed back, as the simulated registry
// names it (lower case).
inline const std::string DEBT_KEY = "software\\fwupdate";

inline SimRegistryValue TextValue(const std::string& name, const std::string& text)
{
    SimRegistryValue value;
    value.name = name;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    return value;
}

// The Image-class registry instance that the installer writes for the
// scanner at `path`.
inline void AddScannerInstance(int number, const std::string& path)
{
    SimRegistryInstance instance;
    instance.number = number;
    instance.values.push_back(TextValue("CreateFileName", path));
    instance.values.push_back(TextValue("MatchingDeviceId", "usb\\vid_7a3c&pid_41b2"));
    instance.values.push_back(TextValue("FriendlyName", SCANNER_NAME));
    World().registry.push_back(instance);
}

// Runs the program as `fwupdate ARGS...` and returns its exit code.
// Platform calls made so far whose line starts with `prefix`.
inline std::size_t CountCalls(const std::string& prefix)
{
    std::size_t count = 0;
    for (const std::string& call : World().calls) {
        count += call.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

// The run is the world's first process; whatever else the world runs
// (handlers, copies of the updater) has run to its end when it returns.
inline int RunProgram(const std::vector<std::string>& args)
{
    return RunUpdaterProcess(args);
}

// The next run of the updater in the same PC, as a new process, with its
// console read from its start: what an ended process left, the service,
// the registry and the scanner carry over. Returns the exit code; a
// process that ends without returning throws SimProcessEnded on.
inline int RunNextProcess(const std::vector<std::string>& args = {})
{
    World().StartNextProcess();
    ResetProcessState();
    World().console.clear();
    return RunProgram(args);
}

// Code page 950 bytes to UTF-8; "<undecodable>" when iconv refuses them.
inline std::string Big5ToUtf8(const std::string& big5)
{
    iconv_t converter = iconv_open("UTF-8", "CP950");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return "<no CP950 converter>";
    }
    std::string input = big5;
    std::string output(input.size() * 4 + 4, '\0');
    char* in = input.data();
    std::size_t inLeft = input.size();
    char* out = output.data();
    std::size_t outLeft = output.size();
    const std::size_t done = iconv(converter, &in, &inLeft, &out, &outLeft);
    iconv_close(converter);
    if (done == static_cast<std::size_t>(-1) || inLeft != 0) {
        return "<undecodable>";
    }
    output.resize(output.size() - outLeft);
    return output;
}

}  // namespace apptest

// A PC with the scanner ready at path 0, its registry instance, the imaging
// service running and nobody holding the guard mutexes: a plain run succeeds.
// A base like SimulatedWorldFixture: the app test files derive their own.
class AppRunFixture : public SimulatedWorldFixture {
protected:
    void SetUp() override
    {
        SimulatedWorldFixture::SetUp();
        apptest::AddScannerInstance(0, apptest::SCANNER_PATH);
    }

    int Run(const std::vector<std::string>& args = {})
    {
        StartWorld();
        return apptest::RunProgram(args);
    }

    // Runs the program; true when the process ended without returning.
    bool RunToItsEnd()
    {
        try {
            Run();
            return false;
        } catch (const SimProcessEnded&) {
            return true;
        }
    }

    // Windows ended a handler at its time limit.
    static bool CutOff()
    {
        for (const std::string& line : World().controlLog) {
            if (line.find("cut off") != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // A record of the imaging service owed back is on the PC.
    static bool Recorded() { return World().machineKeys.count(apptest::DEBT_KEY) == 1; }
};
