// Common main for every test program: GoogleTest with the error register
// emptied between tests so that one test's messages never leak into another.
#include <gtest/gtest.h>
#include "stock.h"

namespace {
class ClearRegister : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override { elog_clear_register(0); }
};
}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new ClearRegister);
    return RUN_ALL_TESTS();
}
