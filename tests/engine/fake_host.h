// A stand-in for the update dialog: it records, in order, every status text, progress
// position and message box the engine asks for, and answers settings from a table. And a
// connection to the local test server for it to hand out.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/update_host.h"
#include "framework/dialog.h"
#include "net/internet.h"
#include "support/ftp_server.h"

class FakeHost : public IUpdateHost {
  public:
    FakeHost() { progress_.Attach(&window_, 1000); }

    void SetStatus(CString status) override { log.push_back("status: " + status); }
    CFtpConnection* Connection() override { return connection; }
    const char* TempPath() const override { return tempPath.c_str(); }
    CProgressCtrl& Progress() override { return progress_; }
    void ShowMessage(const CString& text) override { log.push_back("message: " + text); }
    CString ReadSetting(const char* section, const char* entry, const char* defaultValue) override {
        auto found = settings.find(std::string(section) + "/" + entry);
        return found != settings.end() ? found->second : defaultValue;
    }
    CString InstallDirectory() const override { return installDirectory; }

    // Only the lines that start with prefix ("status: ", "pos: ", "message: ").
    std::vector<std::string> Lines(const std::string& prefix) const {
        std::vector<std::string> lines;
        for (const std::string& line : log) {
            if (line.rfind(prefix, 0) == 0) lines.push_back(line);
        }
        return lines;
    }

    std::vector<std::string> log;
    CFtpConnection* connection = nullptr;
    std::string tempPath;
    std::string installDirectory;
    std::map<std::string, std::string> settings;  // "Section/Entry" to value

  private:
    // The progress bar's window: only PBM_SETPOS is ever sent to it.
    class BarWindow : public IDialogWindow {
      public:
        explicit BarWindow(FakeHost& host) : host_(host) {}
        void SetItemText(int, const CString&) override {}
        CString GetItemText(int) const override { return CString(); }
        void EnableItem(int, bool) override {}
        bool IsItemEnabled(int) const override { return true; }
        LRESULT SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) override {
            host_.log.push_back(message == PBM_SETPOS && id == 1000 && lParam == 0
                                    ? "pos: " + std::to_string(wParam)
                                    : "unexpected message " + std::to_string(message));
            return 0;
        }
        bool IsVisible() const override { return true; }
        void Show(bool) override {}
        bool IsEnabled() const override { return true; }
        void Enable(bool) override {}
        bool IsActive() const override { return true; }
        void Activate() override {}
        bool IsIconic() const override { return false; }
        bool IsChild() const override { return false; }
        RECT GetWindowRect() const override { return RECT{}; }
        RECT GetClientRect() const override { return RECT{}; }
        void MoveTo(int, int) override {}
        bool AppendSystemMenu(UINT, UINT, const char*) override { return false; }
        void SetIcon(int, HICON) override {}
        void PaintIconic(HICON, int, int) override {}
        LRESULT DefaultProc(UINT, WPARAM, LPARAM) override { return 0; }

      private:
        FakeHost& host_;
    };

    BarWindow window_{*this};
    CProgressCtrl progress_;
};

// A session logged in to the test server; skips the test when the server cannot be had.
struct ServerConnection {
    explicit ServerConnection(const FtpServer& server) {
        connection.reset(session.OpenFtpConnection(server.Host(), server.User().c_str(),
                                                   server.Password().c_str(), server.Port()));
    }
    CInternetSession session{"kestrin-test"};
    std::unique_ptr<CFtpConnection> connection;
};

#define START_SERVER(server)                                          \
    do {                                                              \
        if ((server).Unavailable()) GTEST_SKIP() << (server).Error(); \
        ASSERT_TRUE((server).Running()) << (server).Error();          \
    } while (0)
