// The FLTK front end's windows and requests, on the display of the xvfb test fixture (the
// keyboard and mouse are driven by fltk_window_test.py).
#include <FL/Fl_Group.H>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "framework/dialog.h"
#include "frontends/fltk/fltk_frontend.h"
#include "support/test_env.h"

namespace {

// The display of the xvfb test fixture, for the whole test program.
class FixtureDisplayEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        const std::string display = FixtureDisplay();
        ASSERT_FALSE(display.empty())
            << "no display: KESTRIN_XVFB_STATE names none (the xvfb.setup test starts it)";
        display_ = std::make_unique<ScopedEnv>("DISPLAY", display.c_str());
    }
    void TearDown() override { display_.reset(); }

  private:
    std::unique_ptr<ScopedEnv> display_;
};

[[maybe_unused]] const testing::Environment* const kDisplay =
    testing::AddGlobalTestEnvironment(new FixtureDisplayEnvironment);

// A dialog that records what its window looked like when WM_INITDIALOG arrived.
class ProbeDialog : public CDialog {
  public:
    explicit ProbeDialog(int templateId, bool endDuringInit = false)
        : CDialog(templateId, nullptr), endDuringInit_(endDuringInit) {}

    bool initialised = false;
    bool windowAttachedAtInit = false;
    bool visibleAtInit = true;

  protected:
    BOOL OnInitDialog() override {
        initialised = true;
        windowAttachedAtInit = GetWindow() != nullptr;
        visibleAtInit = GetWindow() != nullptr && GetWindow()->IsVisible();
        if (endDuringInit_) EndDialog(IDCANCEL);
        return TRUE;
    }

  private:
    bool endDuringInit_;
};

class FltkFrontEndTest : public testing::Test {
  protected:
    void SetUp() override {
        frontEnd_ = CreateFltkFrontEnd();
        ASSERT_NE(frontEnd_, nullptr);
        AfxSetFrontEnd(frontEnd_.get());
    }
    void TearDown() override { AfxSetFrontEnd(nullptr); }

    std::unique_ptr<CFrontEnd> frontEnd_;
};

TEST_F(FltkFrontEndTest, InitialisationSeesTheHiddenWindowShownAfterOnlyWhenTheTemplateSaysSo) {
    struct Case {
        int templateId;
        bool endDuringInit;
        bool shownAfterwards;
    } cases[] = {{102, false, true}, {102, true, false}, {100, false, false}};
    for (const Case& c : cases) {
        ProbeDialog dialog(c.templateId, c.endDuringInit);
        std::unique_ptr<IDialogWindow> window =
            frontEnd_->CreateDialogWindow(dialog, c.templateId, nullptr);
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(dialog.initialised);
        EXPECT_TRUE(dialog.windowAttachedAtInit);
        EXPECT_FALSE(dialog.visibleAtInit);
        EXPECT_EQ(window->IsVisible(), c.shownAfterwards)
            << c.templateId << (c.endDuringInit ? " ended during init" : "");
        dialog.Attach(nullptr);
    }
    ProbeDialog missing(103);
    EXPECT_EQ(frontEnd_->CreateDialogWindow(missing, 103, nullptr), nullptr);
    EXPECT_FALSE(missing.initialised);
}

TEST_F(FltkFrontEndTest, ProgressPositionIsHeldInItsRangeAndThePreviousOneReturned) {
    ProbeDialog dialog(102);
    std::unique_ptr<IDialogWindow> window = frontEnd_->CreateDialogWindow(dialog, 102, nullptr);
    ASSERT_NE(window, nullptr);
    struct Step {
        int set;
        LRESULT previous;
    } steps[] = {{50, 0}, {150, 50}, {-5, 100}, {30, 0}, {30, 30}};
    for (const Step& step : steps) {
        EXPECT_EQ(window->SendItemMessage(1000, PBM_SETPOS, static_cast<WPARAM>(step.set), 0),
                  step.previous)
            << "setting " << step.set;
    }
    // Only the progress bar understands PBM_SETPOS.
    EXPECT_EQ(window->SendItemMessage(1001, PBM_SETPOS, 40, 0), 0);
    dialog.Attach(nullptr);
}

TEST_F(FltkFrontEndTest, ControlsShowWhatTheWindowModelHolds) {
    ProbeDialog dialog(102);
    std::unique_ptr<IDialogWindow> window = frontEnd_->CreateDialogWindow(dialog, 102, nullptr);
    ASSERT_NE(window, nullptr);
    auto* controls = dynamic_cast<Fl_Group*>(window.get());
    ASSERT_NE(controls, nullptr);
    // In the template's order: Update, Cancel, the progress bar, the status line.
    window->EnableItem(1002, false);
    window->SetItemText(1001, "Connecting");
    EXPECT_FALSE(controls->child(0)->active());
    EXPECT_TRUE(controls->child(1)->active());
    EXPECT_STREQ(controls->child(3)->label(), "Connecting");
    window->EnableItem(1002, true);
    EXPECT_TRUE(controls->child(0)->active());
    dialog.Attach(nullptr);
}

}  // namespace
