// What the framework gives every front end: dialog units in pixels.
#include <gtest/gtest.h>

#include "framework/dialog_template.h"

namespace {

TEST(DialogUnits, RoundAsTheWindowSystemRoundsWithoutOverflow) {
    struct Case {
        int value, numerator, denominator, expected;
    } cases[] = {
        {235, 6, 4, 353},    // 352.5: halves go up...
        {-235, 6, 4, -353},  // ...and away from zero below it
        {54, 13, 8, 88},     // 87.75
        {55, 13, 8, 89},     // 89.375
        {8, 96, 72, 11},     // the font's 8 points at 96 dpi
        {0, 13, 8, 0},
        {1'000'000'000, 6, 4, 1'500'000'000},  // the product needs more than 32 bits
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MulDivRounded(c.value, c.numerator, c.denominator), c.expected)
            << c.value << " × " << c.numerator << " / " << c.denominator;
    }
    EXPECT_EQ(DialogUnitsToPixelsX(235), 353);
    EXPECT_EQ(DialogUnitsToPixelsY(54), 88);
}

}  // namespace
