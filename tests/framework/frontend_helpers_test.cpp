// What the framework gives every front end: dialog units in pixels, the centring rule, and the
// window model with its defaults (the delivery with default handling is seen at work in
// tests/ui).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "framework/dialog.h"
#include "framework/dialog_template.h"
#include "framework/window_model.h"
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

// A window that writes down what its front end would be told to show.
class ToldWindow : public CModelWindow {
  public:
    using CModelWindow::CModelWindow;
    std::vector<std::string> told;

  protected:
    void Changed(Change what, int id, bool differs) override {
        told.push_back(std::to_string(static_cast<int>(what)) + " " + std::to_string(id) +
                       (differs ? " changed" : " same"));
    }
};

TEST(WindowModel, RequestsKeepTheWindowSystemsRulesAndTellWhatChanged) {
    CDialog dialog(102, nullptr);
    ToldWindow window(dialog, *FindDialogTemplate(102));  // Update, Cancel, progress, status
    using C = CModelWindow::Change;
    auto told = [](C what, int id, bool differs) {
        return std::to_string(static_cast<int>(what)) + " " + std::to_string(id) +
               (differs ? " changed" : " same");
    };
    struct Step {
        const char* what;
        std::function<LRESULT()> request;
        LRESULT result;
        std::vector<std::string> told;
    } steps[] = {
        {"a new text",
         [&] { return window.SetItemText(1001, "a"), 0; },
         0,
         {told(C::Text, 1001, true)}},
        {"the same text",
         [&] { return window.SetItemText(1001, "a"), 0; },
         0,
         {told(C::Text, 1001, false)}},
        {"no such control", [&] { return window.SetItemText(4242, "x"), 0; }, 0, {}},
        {"disabled",
         [&] { return window.EnableItem(1002, false), 0; },
         0,
         {told(C::ItemEnabled, 1002, true)}},
        {"past the end",
         [&] { return window.SendItemMessage(1000, PBM_SETPOS, 150, 0); },
         0,
         {told(C::Progress, 1000, true)}},
        {"below 0",
         [&] { return window.SendItemMessage(1000, PBM_SETPOS, WPARAM(-5), 0); },
         100,
         {told(C::Progress, 1000, true)}},
        {"not a progress bar",
         [&] { return window.SendItemMessage(1001, PBM_SETPOS, 7, 0); },
         0,
         {}},
        {"shown twice",
         [&] { return window.Show(true), window.Show(true), 0; },
         0,
         {told(C::Shown, 0, true)}},
        {"moved",
         [&] { return window.MoveTo(10, 20), window.GetWindowRect().right; },
         490,
         {told(C::Moved, 0, true)}},
    };
    for (const Step& step : steps) {
        window.told.clear();
        EXPECT_EQ(step.request(), step.result) << step.what;
        EXPECT_EQ(window.told, step.told) << step.what;
    }
    EXPECT_EQ(window.GetItemText(1001), "a");
    EXPECT_FALSE(window.IsItemEnabled(1002));
    EXPECT_TRUE(window.IsItemEnabled(IDCANCEL));
    EXPECT_EQ(window.Model().Find(1000)->position, 0);
    EXPECT_EQ(window.GetItemText(4242), "");
}

TEST(WindowModel, TemplateGivesEachControlItsOwnStateAndTheMenuOnlyWithASystemMenu) {
    DialogControl controls[] = {
        {-1, "static", "one", 0, 0, 0, 10, 10, dlgstyle::kVisible},
        {-1, "static", "two", 0, 0, 0, 10, 10, 0},
        {1, "BUTTON", "OK", 0, 0, 0, 10, 10, dlgstyle::kVisible | dlgstyle::kDisabled},
    };
    DialogTemplate plain{7, "Plain", "", 8, false, 0, 0, 100, 40, 0, 0, controls, 3};
    CDialog dialog(7, nullptr);
    ToldWindow window(dialog, plain);
    const auto& states = window.Model().Controls();
    ASSERT_EQ(states.size(), 3u);
    EXPECT_EQ(states[0].text + states[1].text, "onetwo");
    EXPECT_TRUE(states[0].visible);
    EXPECT_FALSE(states[1].visible);
    EXPECT_FALSE(window.IsItemEnabled(IDOK));
    EXPECT_TRUE(IsClass(*states[2].control, "button"));
    EXPECT_EQ(window.GetClientRect().right, 150);
    EXPECT_FALSE(window.AppendSystemMenu(MF_STRING, 16, "About"));
    EXPECT_TRUE(window.Model().Menu().empty());
    // Close from the window menu is the dialog's Cancel.
    window.DefaultProc(WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(dialog.IsEnded());
}

}  // namespace
