#include <gtest/gtest.h>

#include "context/context.h"

TEST(Context, NamesOutsideTheTables) {
  EXPECT_STREQ(StateName(OUTGOING_SIP_ESTABLISHED), "OUTGOING_SIP_ESTABLISHED");
  EXPECT_STREQ(StateName(14), "UNDEFINED");
  EXPECT_STREQ(CallTypeName(4), "UNKNOWN");
}
