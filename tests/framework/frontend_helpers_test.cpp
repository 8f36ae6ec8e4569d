// What the framework gives every front end: dialog units in pixels and the centring rule (the
// delivery with default handling is seen at work in tests/ui).
#include <gtest/gtest.h>

#include "framework/dialog.h"
#include "framework/dialog_template.h"
#include "frontends/recording/recording_frontend.h"

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

TEST(CentredPosition, OverTheOwnerOnTheScreenElseTheWorkAreaAndNeverOutsideIt) {
    RecordingFrontEnd frontEnd;
    CDialog dialog(102, nullptr);
    RecordingWindow owner(frontEnd, dialog, *FindDialogTemplate(102));  // 480 × 88
    const RECT area{0, 0, 1000, 700};
    EXPECT_EQ(CentredPosition(nullptr, area, 200, 100).x, 400);
    EXPECT_EQ(CentredPosition(nullptr, area, 200, 100).y, 300);
    struct Case {
        const char* what;
        bool shown, iconic;
        int ownerLeft, ownerTop;
        LONG width, height;
        LONG left, top;
    } cases[] = {
        {"owner on the screen", true, false, 100, 100, 200, 100, 240, 94},
        {"owner hidden", false, false, 100, 100, 200, 100, 400, 300},
        {"owner minimised", true, true, 100, 100, 200, 100, 400, 300},
        {"owner at the bottom right", true, false, 700, 650, 200, 100, 800, 600},
        {"owner off the top left", true, false, -500, -300, 200, 100, 0, 0},
        {"larger than the work area", true, false, 100, 100, 1200, 800, 0, 0},
    };
    for (const Case& c : cases) {
        owner.Show(c.shown);
        owner.Model().iconic = c.iconic;
        owner.Model().client = RECT{0, 0, 160, 24};
        owner.MoveTo(c.ownerLeft, c.ownerTop);
        POINT at = CentredPosition(&owner, area, c.width, c.height);
        EXPECT_EQ(at.x, c.left) << c.what;
        EXPECT_EQ(at.y, c.top) << c.what;
    }
}

}  // namespace
