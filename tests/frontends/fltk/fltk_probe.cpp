// A stand-in for the update dialog, for the window test: the same template, and an Update
// handler that blocks the way a network call does. It sets a status text and a progress
// position, blocks, shows a message box, blocks again and restores the dialog, reporting each
// step on standard output, so that the test can see what the window did with the input it was
// given meanwhile. Usage: fltk_probe [milliseconds each block lasts]
// With "run" first (fltk_probe run MILLISECONDS), the handler is a run instead, as the update
// dialog's is: it waits that long in small steps and lets the front end pump between them, and
// reports "stopped" when the dialog was ended meanwhile, else "ran out".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <thread>

#include "framework/dialog.h"
#include "frontends/fltk/fltk_frontend.h"

namespace {

constexpr int kUpdateDialog = 102;
constexpr int kProgress = 1000;
constexpr int kStatus = 1001;
constexpr int kUpdate = 1002;

class ProbeDialog : public CDialog {
  public:
    explicit ProbeDialog(int blockMs) : CDialog(kUpdateDialog, nullptr), blockMs_(blockMs) {}

    bool running = false;

    void OnUpdate() {
        if (running) return Run();
        ++runs_;
        Report("begin", runs_);
        EnableDlgItem(kUpdate, false);
        SetDlgItemText(kStatus, "Step one");
        GetWindow()->SendItemMessage(kProgress, PBM_SETPOS, 50, 0);
        Block();
        AfxFrontEnd().MessageBox(GetWindow(), "Halfway there", "Probe", MB_ICONINFORMATION);
        Report("box closed", runs_);
        SetDlgItemText(kStatus, "Step two");
        Block();
        SetDlgItemText(kStatus, "");
        GetWindow()->SendItemMessage(kProgress, PBM_SETPOS, 0, 0);
        EnableDlgItem(kUpdate, true);
        Report("end", runs_);
    }

  protected:
    const MessageMap* GetMessageMap() const override {
        static const MessageMapEntry entries[] = {
            OnCommandEntry<ProbeDialog, &ProbeDialog::OnUpdate>(BN_CLICKED, kUpdate),
        };
        static const MessageMap map{CDialog::GetMessageMap(), entries,
                                    static_cast<int>(std::size(entries))};
        return &map;
    }

  private:
    void Run() {
        const RunScope run(*this);
        Report("begin", ++runs_);
        EnableDlgItem(kUpdate, false);
        SetDlgItemText(kStatus, "Running");
        AfxFrontEnd().Flush();
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(blockMs_);
        while (!IsEnded() && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            AfxFrontEnd().Pump(*GetWindow());
        }
        std::puts(IsEnded() ? "stopped" : "ran out");
        EnableDlgItem(kUpdate, true);
    }

    static void Report(const char* what, int run) {
        std::printf("%s %d\n", what, run);
        std::fflush(stdout);
    }
    // As a handler that waits on a server does: what it set is shown before it waits.
    void Block() const {
        AfxFrontEnd().Flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(blockMs_));
    }

    int blockMs_;
    int runs_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const bool running = argc > 1 && std::strcmp(argv[1], "run") == 0;
    if (running) {
        --argc;
        ++argv;
    }
    int blockMs = argc > 1 ? std::atoi(argv[1]) : 2000;
    std::unique_ptr<CFrontEnd> frontEnd = CreateFltkFrontEnd();
    if (frontEnd == nullptr) {
        std::puts("no display");
        return 2;
    }
    AfxSetFrontEnd(frontEnd.get());
    int result = 0;
    {
        ProbeDialog dialog(blockMs);
        dialog.running = running;
        result = dialog.RunModal();
    }
    std::printf("result %d\n", result);
    AfxSetFrontEnd(nullptr);
    return 0;
}
