#include "scenario_runner/updater_process.h"

#include <memory>
#include <utility>

#include "common/shared.h"
#include "platform/sim/world.h"
#include "scenario_runner/updater_call.h"

void UseRealUpdaterForCopies()
{
    SimUpdaterProgram program;
    program.main = [](const std::vector<std::string>& arguments) { return CallUpdater(arguments); };
    program.saveValues = [] { return std::shared_ptr<void>(std::make_shared<ProcessValues>(SaveProcessValues())); };
    program.loadValues = [](const std::shared_ptr<void>& values) {
        LoadProcessValues(*static_cast<const ProcessValues*>(values.get()));
    };
    program.resetValues = ResetProcessState;
    SetSimUpdaterProgram(std::move(program));
}

int RunUpdaterProcess(std::vector<std::string> arguments)
{
    UseRealUpdaterForCopies();
    return RunFirstProcess([&arguments] { return CallUpdater(std::move(arguments)); });
}
