// The public header: record layout, C compatibility, and the constants' agreement
// with the message table.
#include "layout.h"
#include "support/harness.h"

extern "C" size_t header_c_layout(int which);
extern "C" int header_c_call(void);

namespace {

TEST(PublicHeader, CAndCppSeeTheSameRecords)
{
    EXPECT_EQ(header_c_layout(0), sizeof(LPR_COMMONARG));
    EXPECT_EQ(header_c_layout(1), sizeof(LPR_PRINTARG));
    EXPECT_EQ(header_c_layout(2), sizeof(LPR_DELETEARG));
    EXPECT_EQ(header_c_layout(3), sizeof(LPR_QUEUEARG));
    EXPECT_EQ(header_c_layout(4), offsetof(LPR_COMMONARG, errorcode));
    EXPECT_EQ(header_c_layout(5), offsetof(LPR_PRINTARG, checkonly));
    EXPECT_EQ(header_c_layout(6), offsetof(LPR_PRINTARG, format));
}

TEST(PublicHeader, CCallerCanUseTheExports) { EXPECT_EQ(header_c_call(), 0); }

TEST(PublicHeader, ResultValuesAreTheSystemErrorNumbers)
{
    EXPECT_EQ(LPR_R_NOT_ENOUGH_MEMORY, 8);
    EXPECT_EQ(LPR_R_GEN_FAILURE, 31);
    EXPECT_EQ(LPR_R_NOT_SUPPORTED, 50);
    EXPECT_EQ(LPR_R_UNEXP_NET_ERR, 59);
    EXPECT_EQ(LPR_R_BAD_NET_NAME, 67);
    EXPECT_EQ(LPR_R_BAD_DEVICE, 1200);
}

TEST(PublicHeader, EveryConstantHasItsMessageText)
{
    char buf[256];
#define X(id, name, text)                                                                \
    EXPECT_EQ(name, id);                                                                 \
    EXPECT_GT(vx::LoadStringA(vx::hinstlpr, name, buf, sizeof buf), 0) << #name;
#include "msgtext.def"
#undef X
}

} // namespace
