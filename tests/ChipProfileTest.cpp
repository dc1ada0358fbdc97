#include <gtest/gtest.h>

#include "chip/ChipProfile.h"
#include "tests/TestSupport.h"

namespace {

class ChipProfileTest : public testsupport::ProcessFixture {};

TEST_F(ChipProfileTest, RawDataMaxLenPerChip) {
    const int32_t expected[] = {1680, 1672, 7800, 1428, 1440, 7800, 7800};
    for (int32_t type = 1; type <= 7; ++type) {
        chipType = type;
        initChipProfile();
        EXPECT_EQ(chipProfile.rawDataMaxLen(), expected[type - 1]) << "chip type " << type;
    }
}

}  // namespace
