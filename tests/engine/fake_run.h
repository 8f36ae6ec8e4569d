// A stand-in for what the application hands the engine: a view that records, in order, every
// status text, progress position and message box the engine asks for, and settings answered
// from a table. And a stand-in for the update server: a directory whose files it serves.
#pragma once

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "engine/run_context.h"
#include "net/remote_files.h"
#include "settings/settings_store.h"
#include "support/test_env.h"

// Serves the files below a directory of its own, by "/"-separated paths, as the FTP
// connection does: the file lands whole (copied beside the target, then renamed) or not at
// all, below a directory that must exist, the directories of the name made as needed, no
// larger than the bound it is given, and a check sees the file's bytes in one piece before it
// may refuse them. A path holding a
// backslash names nothing, as on real servers (they answer 550). Records every path asked for,
// and writes "settle" to `events`, when given, where the files are made durable.
class DirectoryServer : public IRemoteFiles {
  public:
    bool DownloadFile(const char* remotePath, const char* directory, const char* name,
                      bool failIfExists, DWORD, DWORD, DWORD_PTR, net::IReceiveCheck* check,
                      ULONGLONG maxBytes) override {
        namespace fs = std::filesystem;
        const std::optional<fs::path> source = Served(remotePath);
        // A backslash separates local directories on both systems.
        std::string root = directory;
        std::string local = root + "/" + name;
        std::replace(root.begin(), root.end(), '\\', '/');
        std::replace(local.begin(), local.end(), '\\', '/');
        const fs::path target = local;
        const fs::path temporary = local + ".part";
        std::error_code error;
        if (!source || !fs::is_directory(root, error)) return false;
        fs::create_directories(target.parent_path(), error);
        if (!fs::is_regular_file(*source, error) || (failIfExists && fs::exists(target, error)) ||
            fs::file_size(*source, error) > maxBytes ||
            !fs::copy_file(*source, temporary, fs::copy_options::overwrite_existing, error)) {
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

    std::optional<Bytes> FetchBytes(const char* remotePath, ULONGLONG maxBytes) override {
        const std::optional<std::filesystem::path> source = Served(remotePath);
        std::error_code error;
        if (!source || !std::filesystem::is_regular_file(*source, error)) return std::nullopt;
        std::string bytes = ReadFile(*source);
        if (bytes.size() > maxBytes) return std::nullopt;
        const std::optional<net::Sha256Digest> digest = net::Sha256::Of(bytes);
        return Bytes{std::move(bytes), *digest};
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
    // Another server whose files this one serves instead of its own (a further connection).
    const DirectoryServer* origin = nullptr;

  private:
    // The file served at remotePath, which is recorded; none for a path holding a backslash.
    std::optional<std::filesystem::path> Served(const char* remotePath) {
        requests.push_back(remotePath);
        if (std::string_view(remotePath).find('\\') != std::string_view::npos) return std::nullopt;
        std::filesystem::path source = (origin != nullptr ? origin->root : root).path();
        std::string rest = remotePath;
        for (size_t slash; (slash = rest.find('/')) != std::string::npos;) {
            source /= rest.substr(0, slash);
            rest.erase(0, slash + 1);
        }
        return source / rest;
    }
};

// The view and the settings of a run, and the run context made of them with the fields below:
// engine::UpdateFiles(run) and engine::CheckVersion(run, ...) take it as the application's.
class FakeRun : public engine::IRunView, public ISettings {
  public:
    void SetStatus(CString status) override { log.push_back("status: " + status); }
    void SetProgress(int position) override { log.push_back("pos: " + std::to_string(position)); }
    void ShowMessage(const CString& text) override { log.push_back("message: " + text); }
    CString ReadSetting(const char* section, const char* entry, const char* defaultValue) override {
        auto found = settings.find(std::string(section) + "/" + entry);
        return found != settings.end() ? found->second : defaultValue;
    }
    bool WriteSetting(const char* section, const char* entry, const CString& value) override {
        settings[std::string(section) + "/" + entry] = value;
        return true;
    }

    // The context of the fields as they are now; the release it holds lasts across calls.
    operator engine::RunContext&() {
        m_run.productDirectory = installDirectory + engine::kProductSubdirectory;
        m_run.tempDirectory = tempPath;
        m_run.transport = connection;
        m_run.transferConnections = transferConnections;
        m_run.settings = this;
        m_run.view = this;
        return m_run;
    }

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
    unsigned transferConnections = 1;
    std::string tempPath;
    std::string installDirectory;
    std::map<std::string, std::string> settings;  // "Section/Entry" to value

  private:
    engine::RunContext m_run;  // a program without a key
};
