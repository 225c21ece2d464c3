#include "RulePlanter/RulePlanter.h"

#include <gtest/gtest.h>

TEST(RulePlanter, VersionsTwelveToFourteenOnly) {
    EXPECT_TRUE(ruleplanter::IsSupportedVersion(L"14.0.0.7015"));
}
