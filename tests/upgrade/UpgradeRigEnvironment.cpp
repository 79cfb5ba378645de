// The upgrade rig of a test binary: set up before the first test, its board
// root removed after a clean run and kept (named on stderr) after a failure.
#include <gtest/gtest.h>

#include "UpgradeRig.h"

namespace {

class UpgradeRigEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_NE(nullptr, UpgradeRig::Instance()); }
    void TearDown() override
    {
        if (UpgradeRig::Instance() != nullptr)
            UpgradeRig::Instance()->Finish(::testing::UnitTest::GetInstance()->Failed());
    }
};

const ::testing::Environment* const kEnvironment = ::testing::AddGlobalTestEnvironment(new UpgradeRigEnvironment);

}  // namespace
