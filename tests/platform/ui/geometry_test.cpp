#include <gtest/gtest.h>

#include <climits>

#include "platform/ui/geometry.h"

namespace ui {
namespace {

TEST(MulDiv, RoundsHalfAwayFromZeroAndRefusesBadDivisors) {
    struct Case {
        int number, numerator, denominator, expected;
    };
    const Case cases[] = {
        {10, 1, 4, 3},                         // 2.5 rounds up
        {-10, 1, 4, -3},                       // -2.5 rounds away from zero
        {10, 1, -4, -3},                       //
        {-10, -1, -4, -3},                     //
        {7, 1, 3, 2},                          // 2.33
        {8, 1, 3, 3},                          // 2.67
        {100, 50, 0, -1},                      // zero divisor
        {0, 0, 0, -1},                         //
        {0, 5, 7, 0},                          //
        {INT_MAX, INT_MAX, INT_MAX, INT_MAX},  // 64-bit product
        {INT_MAX, 2, 1, -1},                   // overflow
        {300, 120, 400, 90},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MulDiv(c.number, c.numerator, c.denominator), c.expected)
            << c.number << "*" << c.numerator << "/" << c.denominator;
    }
}

TEST(Rect, RightAndBottomAreExclusive) {
    Rect r = Bounds(10, 20, 5, 4);
    EXPECT_EQ(r, (Rect{10, 20, 15, 24}));
    EXPECT_TRUE(r.Contains({10, 20}));
    EXPECT_TRUE(r.Contains({14, 23}));
    EXPECT_FALSE(r.Contains({15, 23}));
    EXPECT_FALSE(r.Contains({14, 24}));
    EXPECT_TRUE((Rect{5, 5, 5, 9}).IsEmpty());
}

TEST(Rect, IntersectAndUnion) {
    Rect a{0, 0, 10, 10};
    Rect b{5, 5, 20, 20};
    EXPECT_EQ(Intersect(a, b), (Rect{5, 5, 10, 10}));
    EXPECT_EQ(Intersect(a, Rect{10, 0, 20, 10}), Rect{});  // touching edges share no pixel
    EXPECT_EQ(Union(a, b), (Rect{0, 0, 20, 20}));
    EXPECT_EQ(Union(Rect{}, b), b);
}

}  // namespace
}  // namespace ui
