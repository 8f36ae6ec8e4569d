// A stand-in for the update dialog: it records, in order, every status text, progress
// position and message box the engine asks for, and answers settings from a table. And a
// stand-in for the update server: a directory whose files it serves.
#pragma once

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "engine/server_release.h"
#include "engine/update_host.h"
#include "framework/dialog.h"
#include "net/remote_files.h"
#include "support/test_env.h"

// Serves the files below a directory of its own, by "/"-separated paths, as the FTP
// connection does: the file lands whole (copied beside the target, then renamed) or not at
// all, the directories under `below` (which must exist) made as needed, and a check sees the
// file's bytes in one piece before it may refuse them. A path holding a backslash names
// nothing, as on real servers (they answer 550). Records every path asked for, and writes
// "settle" to `events`, when given, where the files are made durable.
class DirectoryServer : public IRemoteFiles {
  public:
    bool DownloadFile(const char* remotePath, const char* localPath, bool failIfExists, DWORD,
                      DWORD, DWORD_PTR, const char* below, net::IReceiveCheck* check) override {
        namespace fs = std::filesystem;
        requests.push_back(remotePath);
        if (std::string_view(remotePath).find('\\') != std::string_view::npos) return false;
        fs::path source = root.path();
        std::string rest = remotePath;
        for (size_t slash; (slash = rest.find('/')) != std::string::npos;) {
            source /= rest.substr(0, slash);
            rest.erase(0, slash + 1);
        }
        source /= rest;
        // A backslash separates local directories on both systems.
        std::string local = localPath;
        std::replace(local.begin(), local.end(), '\\', '/');
        const fs::path target = local;
        const fs::path temporary = local + ".part";
        std::error_code error;
        if (below != nullptr) {
            std::string root = below;
            std::replace(root.begin(), root.end(), '\\', '/');
            if (!fs::is_directory(root, error)) return false;
            fs::create_directories(target.parent_path(), error);
        }
        if (!fs::is_regular_file(source, error) || (failIfExists && fs::exists(target, error)) ||
            !fs::copy_file(source, temporary, fs::copy_options::overwrite_existing, error)) {
            return false;
        }
        if (check != nullptr) {
            const std::string bytes = ReadFile(temporary);
            if (!check->Take(bytes.data(), bytes.size()) || !check->Accept(bytes.size())) {
                fs::remove(temporary, error);
                return false;
            }
        }
        fs::rename(temporary, target, error);
        if (error) fs::remove(temporary, error);
        return !error;
    }

    bool Settle() override {
        if (events != nullptr) events->push_back("settle");
        return true;
    }

    // Writes a file the server will serve, at a "/"-separated path below its root.
    void Put(const std::string& remotePath, const std::string& bytes) const {
        WriteFile(root.path() / remotePath, bytes);
    }

    TempDir root;
    std::vector<std::string> requests;
    std::vector<std::string>* events = nullptr;
};

class FakeHost : public IUpdateHost {
  public:
    FakeHost() { m_progress.Attach(&m_window, 1000); }

    void SetStatus(CString status) override { log.push_back("status: " + status); }
    IRemoteFiles* Connection() override { return connection; }
    const char* TempPath() const override { return tempPath.c_str(); }
    CProgressCtrl& Progress() override { return m_progress; }
    void ShowMessage(const CString& text) override { log.push_back("message: " + text); }
    CString ReadSetting(const char* section, const char* entry, const char* defaultValue) override {
        auto found = settings.find(std::string(section) + "/" + entry);
        return found != settings.end() ? found->second : defaultValue;
    }
    bool WriteSetting(const char* section, const char* entry, const CString& value) override {
        settings[std::string(section) + "/" + entry] = value;
        return true;
    }
    CString InstallDirectory() const override { return installDirectory; }
    engine::ServerRelease& Release() override { return release; }

    // Only the lines that start with prefix ("status: ", "pos: ", "message: ").
    std::vector<std::string> Lines(const std::string& prefix) const {
        std::vector<std::string> lines;
        for (const std::string& line : log) {
            if (line.rfind(prefix, 0) == 0) lines.push_back(line);
        }
        return lines;
    }

    std::vector<std::string> log;
    IRemoteFiles* connection = nullptr;
    std::string tempPath;
    std::string installDirectory;
    std::map<std::string, std::string> settings;  // "Section/Entry" to value
    engine::ServerRelease release;                // a program without a key unless a test gives one

  private:
    // The progress bar's window: only PBM_SETPOS is ever sent to it.
    class BarWindow : public IDialogWindow {
      public:
        explicit BarWindow(FakeHost& host) : m_host(host) {}
        void SetItemText(int, const CString&) override {}
        CString GetItemText(int) const override { return CString(); }
        void EnableItem(int, bool) override {}
        bool IsItemEnabled(int) const override { return true; }
        LRESULT SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) override {
            m_host.log.push_back(message == PBM_SETPOS && id == 1000 && lParam == 0
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
        FakeHost& m_host;
    };

    BarWindow m_window{*this};
    CProgressCtrl m_progress;
};
