#include "platform/toolkit/TSet.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
enum TColour : uint8_t { clRed, clGreen, clBlue, clNone9 = 9 };
using TColours = TSet<TColour, uint16_t>;

TEST(TSet, BitIStandsForOrdinalI) {
    TColours s{clGreen, clNone9};
    EXPECT_EQ(s.Bits(), (1u << 1) | (1u << 9));
    EXPECT_TRUE(s.Contains(clGreen));
    EXPECT_FALSE(s.Contains(clRed));
    EXPECT_EQ(TColours::FromBits(0x0201), (TColours{clRed, clNone9}));
}

TEST(TSet, OperationsAndOrderedIteration) {
    TColours a{clRed, clBlue}, b{clBlue, clGreen};
    EXPECT_EQ(a + b, (TColours{clRed, clGreen, clBlue}));
    EXPECT_EQ(a - b, TColours{clRed});
    EXPECT_EQ(a * b, TColours{clBlue});
    EXPECT_TRUE(TColours{clBlue} <= a);
    EXPECT_FALSE(b <= a);
    std::vector<TColour> seen;
    for (TColour c : TColours{clNone9, clRed, clBlue})
        seen.push_back(c);
    EXPECT_EQ(seen, (std::vector<TColour>{clRed, clBlue, clNone9}));
    EXPECT_EQ((TColours{clNone9, clRed}).Count(), 2u);
    EXPECT_TRUE(TColours().Empty());
    a.Exclude(clRed).Include(clGreen);
    EXPECT_EQ(a, (TColours{clGreen, clBlue}));
}

TEST(TSet, EightBitStorageHoldsTheTopMember) {
    enum E : uint8_t { e0, e1, e2, e3, e4, e5, e6, e7 };
    TSet<E, uint8_t> s{e7};
    EXPECT_EQ(s.Bits(), 0x80);
    EXPECT_EQ(*s.begin(), e7);
}
} // namespace
