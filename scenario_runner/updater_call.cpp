#include "scenario_runner/updater_call.h"

#include "app/entry.h"

int CallUpdater(std::vector<std::string> arguments)
{
    std::string programName = "fwupdate.exe";
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(programName.data());
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    return UpdaterMain(static_cast<int>(argv.size() - 1), argv.data());
}
