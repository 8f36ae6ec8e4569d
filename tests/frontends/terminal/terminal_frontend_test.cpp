// The terminal front end with scripted input: what it prints in both forms, and how input
// lines act on the dialog.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/updater_app.h"
#include "frontends/terminal/terminal_frontend.h"
#include "ui/about_dialog.h"
#include "ui/res/resource.h"

namespace {

class TerminalFrontEnd : public ::testing::Test {
  protected:
    // Runs the About box with the given input; returns its result and what was printed.
    int RunAbout(const std::string& input, bool drawn, std::string* printed) {
        CAboutDialog about;
        return Run(about, input, drawn, printed);
    }
    int Run(CDialog& dialog, const std::string& input, bool drawn, std::string* printed) {
        std::istringstream in(input);
        std::FILE* out = std::tmpfile();
        std::unique_ptr<CFrontEnd> frontEnd = CreateTerminalFrontEnd(in, out, drawn);
        AfxSetFrontEnd(frontEnd.get());
        int result = dialog.RunModal();
        AfxSetFrontEnd(nullptr);
        *printed = Contents(out);
        return result;
    }
    // What was written to out, which is closed.
    static std::string Contents(std::FILE* out) {
        std::rewind(out);
        std::string printed;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, out)) > 0) printed.append(buffer, n);
        std::fclose(out);
        return printed;
    }
    static int Count(const std::string& text, const std::string& part) {
        int count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++count;
        }
        return count;
    }
    CUpdaterApp app_;
};

TEST_F(TerminalFrontEnd, InputLinesActOnTheDialog) {
    std::string printed;
    EXPECT_EQ(RunAbout("\n", false, &printed), IDOK);  // Enter presses the default button
    EXPECT_EQ(printed, "dialog: About Kestrin\n");
    EXPECT_EQ(RunAbout("cancel\n", false, &printed), IDCANCEL);
    EXPECT_EQ(RunAbout("close\n", false, &printed), IDCANCEL);  // the window menu's Close
    EXPECT_EQ(RunAbout("", false, &printed), IDCANCEL);         // end of input
    EXPECT_EQ(RunAbout("nonsense\n\x1b\n", false, &printed), IDCANCEL);
}

// A dialog whose window menu holds one entry of its own; it records the commands chosen there.
class MenuDialog : public CDialog {
  public:
    MenuDialog(UINT command, const char* label)
        : CDialog(100, nullptr), command_(command), label_(label) {}
    std::vector<UINT> chosen;
    void OnSysCommand(UINT command, LPARAM) { chosen.push_back(command); }

  protected:
    const MessageMap* GetMessageMap() const override {
        static const MessageMapEntry entries[] = {
            OnSysCommandEntry<MenuDialog, &MenuDialog::OnSysCommand>()};
        static const MessageMap map{CDialog::GetMessageMap(), entries, 1};
        return &map;
    }
    BOOL OnInitDialog() override {
        GetWindow()->AppendSystemMenu(MF_SEPARATOR, 0, nullptr);
        GetWindow()->AppendSystemMenu(MF_STRING, command_, label_);
        return TRUE;
    }

  private:
    UINT command_;
    const char* label_;
};

TEST_F(TerminalFrontEnd, AboutChoosesTheWindowMenuEntryThatSaysAboutWhateverItsCommand) {
    struct Case {
        UINT command;
        const char* label;
        std::vector<UINT> chosen;
    } cases[] = {
        {0x0020, "&About the probe...", {0x0020}},
        {0x0030, "A&bout", {0x0030}},  // an access mark inside the word
        {0x0040, "Abouts and more", {}},
        {0x0050, "&Settings...", {}},
    };
    for (const Case& c : cases) {
        MenuDialog dialog(c.command, c.label);
        std::string printed;
        Run(dialog, "about\n", true, &printed);
        EXPECT_EQ(dialog.chosen, c.chosen) << c.label;
        EXPECT_EQ(printed.find("about: About") != std::string::npos, !c.chosen.empty()) << c.label;
    }
}

TEST_F(TerminalFrontEnd, DrawnDialogShowsEveryStaticOnce) {
    std::string printed;
    RunAbout("cancel\n", true, &printed);
    EXPECT_EQ(Count(printed, "Kestrin Version 1.0"), 1);
    EXPECT_EQ(Count(printed, "Copyright"), 1);
    EXPECT_EQ(Count(printed, "About Kestrin"), 1);
    EXPECT_NE(printed.find("[ OK ]"), std::string::npos);
}

// The update dialog's window with a handler that sets the status line in a burst, as a run
// through unchanged entries does; it notes what had been written out when each burst ended (the
// first ends with a Flush) and when the dialog was cancelled.
class BurstDialog : public CDialog {
  public:
    explicit BurstDialog(std::FILE* out) : CDialog(IDD_UPDATE_DIALOG, nullptr), out_(out) {}
    std::vector<std::string> seen;

    void OnUpdate() {
        for (const char* text : {"one", "two", "three"}) SetDlgItemText(IDC_STATUS, text);
        GetWindow()->SendItemMessage(IDC_PROGRESS, PBM_SETPOS, 50, 0);
        if (seen.empty()) AfxFrontEnd().Flush();
        seen.push_back(Written());
    }
    void OnCancel() override {
        seen.push_back(Written());
        CDialog::OnCancel();
    }

  protected:
    const MessageMap* GetMessageMap() const override {
        static const MessageMapEntry entries[] = {
            OnCommandEntry<BurstDialog, &BurstDialog::OnUpdate>(BN_CLICKED, IDC_UPDATE)};
        static const MessageMap map{CDialog::GetMessageMap(), entries, 1};
        return &map;
    }

  private:
    // Read beside the front end's stream, whose position stays where it was.
    std::string Written() const {
        std::string text(4096, '\0');
        const ssize_t got = ::pread(fileno(out_), text.data(), text.size(), 0);
        text.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return text;
    }
    std::FILE* out_;
};

TEST_F(TerminalFrontEnd, LinesHeldBackAreWrittenInOrderBeforeTheProgramWaits) {
    const std::string first =
        "dialog: Updating System\nstatus: one\nstatus: two\n"
        "status: three\nprogress: 50\n";
    std::FILE* out = std::tmpfile();
    BurstDialog dialog(out);
    std::istringstream in("update\nupdate\ncancel\n");
    std::unique_ptr<CFrontEnd> frontEnd = CreateTerminalFrontEnd(in, out, false);
    AfxSetFrontEnd(frontEnd.get());
    dialog.RunModal();
    AfxSetFrontEnd(nullptr);
    ASSERT_EQ(dialog.seen.size(), 3u);
    EXPECT_EQ(dialog.seen[0], first);  // by Flush
    // By the time the next command was read (the progress bar did not move again).
    EXPECT_EQ(dialog.seen[2], first + "status: one\nstatus: two\nstatus: three\n");
    std::fclose(out);
}

TEST_F(TerminalFrontEnd, MessageBoxesWaitForOneLine) {
    std::istringstream in("\nsecond\n");
    std::FILE* out = std::tmpfile();
    std::unique_ptr<CFrontEnd> frontEnd = CreateTerminalFrontEnd(in, out, false);
    EXPECT_EQ(frontEnd->MessageBox(nullptr, "one\ntwo\n", "Upd", MB_ICONINFORMATION), IDOK);
    std::string rest;
    std::getline(in, rest);
    EXPECT_EQ(rest, "second");  // only the acknowledging line was taken
    EXPECT_EQ(Contents(out), "caption: Upd\nmessage: one\\ntwo\\n\n");
}

TEST_F(TerminalFrontEnd, ControlCharactersInTextsAreWrittenOutNotSent) {
    // What a server could put in a name: a title change, a screen clear, a tab, C1's CSI; and
    // backslashes, doubled on a line only where they would read as an escape.
    const CString text =
        "a\x1b]0;t\x07"
        "b\x1b[2J\tc\\new d\\e\x9b";
    struct Case {
        bool drawn;
        const char* shown;
        const char* neverSent;
    } cases[] = {
        {false, "caption: c\\x1b[H\nmessage: a\\x1b]0;t\\x07b\\x1b[2J\\x09c\\\\new d\\e\x9b\n",
         "\x1b\x07"},
        {true, "a\\x1b]0;t\\x07b\\x1b[2J\\x09c\\new d\\e\\x9b", "\x1b\x07\x9b"},
    };
    for (const Case& c : cases) {
        std::istringstream in("\n");
        std::FILE* out = std::tmpfile();
        CreateTerminalFrontEnd(in, out, c.drawn)->MessageBox(nullptr, text, "c\x1b[H", MB_OK);
        std::string printed = Contents(out);
        EXPECT_NE(printed.find(c.shown), std::string::npos) << printed;
        // Nothing reaches the terminal raw but the front end's own "home, clear screen".
        for (size_t at; (at = printed.find("\x1b[H\x1b[J")) != std::string::npos;) {
            printed.erase(at, 6);
        }
        EXPECT_EQ(printed.find_first_of(c.neverSent), std::string::npos) << printed;
    }
}

}  // namespace
