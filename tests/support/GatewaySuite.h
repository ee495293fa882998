#pragma once

// A test suite with the connection core running and one gateway process
// shared by its tests, as the session tests need.

#include "lib/orvConnections.h"
#include "lib/orvThreads.h"
#include "tests/support/GatewayProcess.h"

#include <gtest/gtest.h>

#include <memory>

namespace orvtest {

class GatewaySuite : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        orvSync::SetMainThread();
        orvStartConnectionCore();
        Gateway = std::make_unique<GatewayProcess>();
    }
    static void TearDownTestSuite()
    {
        Gateway.reset();
        orvShutdownConnectionCore();
    }

    static inline std::unique_ptr<GatewayProcess> Gateway;
};

} // namespace orvtest
