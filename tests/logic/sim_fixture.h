// Every logic test starts from a fresh simulated PC and a fresh updater
// process, so no test sees what an earlier one left behind.
//
// This is a base, not a suite: each test file derives its own fixture from
// it, named after the file (host_service_test.cpp holds HostServiceTest), so
// a test's full name tells which file holds it.
#pragma once
#include <string>

#include <gtest/gtest.h>

#include "common/shared.h"
#include "platform/sim/world.h"

class SimulatedWorldFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        EndSimulatedThreads();
        World() = SimWorld{};
        ResetProcessState();
    }

    // Tests configure World() first, then start it.
    void StartWorld() { World().Start(); }

    const std::string& Console() { return World().console; }
};
