// Every logic test starts from a fresh simulated PC and a fresh updater
// process, so no test sees what an earlier one left behind.
#pragma once
#include <string>

#include <gtest/gtest.h>

#include "common/shared.h"
#include "platform/sim/world.h"

class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        World() = SimWorld{};
        ResetProcessState();
    }

    // Tests configure World() first, then start it.
    void StartWorld() { World().Start(); }

    const std::string& Console() { return World().console; }
};
