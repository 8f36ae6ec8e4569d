// The FLTK front end's windows and requests, on a private Xvfb display started for the test
// program (the keyboard and mouse are driven by fltk_window_test.py).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "framework/dialog.h"
#include "frontends/fltk/fltk_frontend.h"

// Last: Xlib defines macros (Bool, Status, None) that nothing above expects.
#include <X11/Xlib.h>

extern char** environ;

namespace {

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

// An Xvfb server for the whole test program; DISPLAY names it. It does not reset when its last
// client leaves (a reset refuses the next connection for a moment). A server left unreachable
// by another one stopping at the same moment (it removes the socket of the number just taken)
// is replaced by a fresh one.
class XvfbEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        for (int attempt = 0; attempt < 5; ++attempt) {
            std::string display = Start();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            if (!display.empty() && Reachable(display)) {
                setenv("DISPLAY", display.c_str(), 1);
                return;
            }
            Stop();
        }
        FAIL() << "no Xvfb display could be reached";
    }
    void TearDown() override { Stop(); }

  private:
    // The display the new server chose, empty when it chose none.
    std::string Start() {
        Fd readEnd, writeEnd;
        int fds[2];
        if (pipe(fds) != 0) return "";
        readEnd.fd = fds[0];
        writeEnd.fd = fds[1];
        std::string fd = std::to_string(writeEnd.fd);
        const char* argv[] = {"Xvfb",        "-displayfd", fd.c_str(), "-screen",  "0",
                              "1024x768x24", "-nolisten",  "tcp",      "-noreset", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        int spawned =
            posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = 0;
            return "";
        }
        close(writeEnd.fd);
        writeEnd.fd = -1;
        std::string number;
        char c = 0;
        while (read(readEnd.fd, &c, 1) == 1 && c != '\n') number += c;
        return number.empty() ? "" : ":" + number;
    }
    bool Reachable(const std::string& name) const {
        Display* display = XOpenDisplay(name.c_str());
        if (display == nullptr) return false;
        XCloseDisplay(display);
        return waitpid(pid_, nullptr, WNOHANG) == 0;
    }
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = 0;
        }
    }

    pid_t pid_ = 0;
};

[[maybe_unused]] const testing::Environment* const kXvfb =
    testing::AddGlobalTestEnvironment(new XvfbEnvironment);

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

}  // namespace
