// The part of the test FTP server that is the same everywhere: the external server, the files
// it serves and its log. Launching our own is in ftp_server_posix.cpp / ftp_server_win32.cpp.
#include "ftp_server.h"

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "kestrin_config.h"
#include "test_env.h"

namespace fs = std::filesystem;

FtpServerOptions::FtpServerOptions()
    : user(KESTRIN_UPDATE_USER), password(KESTRIN_UPDATE_PASSWORD) {}

FtpServer::FtpServer(FtpServerOptions options) : options_(std::move(options)) {
    const char* port = std::getenv("KESTRIN_TEST_FTP_PORT");
    if (port == nullptr || *port == '\0') {
        running_ = Launch();
        namedFaults_ = running_;
        return;
    }
    external_ = true;
    const FtpServerOptions plain;
    if (options_.dropAfter || options_.stallAfter || options_.refuseLogins || options_.mute ||
        options_.busy != 0 || options_.user != plain.user || options_.password != plain.password) {
        unavailable_ = true;
        error_ = "the external test server has the compiled-in account and no fault modes";
        return;
    }
    const char* root = std::getenv("KESTRIN_TEST_FTP_ROOT");
    const char* log = std::getenv("KESTRIN_TEST_FTP_LOG");
    if (root == nullptr || log == nullptr) {
        error_ = "KESTRIN_TEST_FTP_PORT needs KESTRIN_TEST_FTP_ROOT and KESTRIN_TEST_FTP_LOG";
        return;
    }
    port_ = static_cast<INTERNET_PORT>(std::atoi(port));
    root_ = root;
    log_ = log;
    std::error_code ec;
    logStart_ = fs::file_size(log_, ec);
    if (ec) logStart_ = 0;
    // The latest start of the server (a log may be appended to) says how it runs.
    std::ifstream in(log_, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("0 listening ", 0) == 0) {
            namedFaults_ = line.find(" named-faults") != std::string::npos;
        }
    }
    running_ = port_ != 0;
    if (!running_) error_ = "KESTRIN_TEST_FTP_PORT is not a port number";
}

FtpServer::~FtpServer() {
    Stop();
}

void FtpServer::Stop() {
    if (!external_) StopProcess();
    running_ = false;
}

void FtpServer::Put(const std::string& remotePath, const std::string& bytes) const {
    WriteFile(root_ / fs::path(remotePath, fs::path::generic_format), bytes);
}

std::vector<FtpLogEntry> FtpServer::Log() const {
    std::vector<FtpLogEntry> entries;
    std::ifstream in(log_, std::ios::binary);
    if (!in) return entries;
    in.seekg(static_cast<std::streamoff>(logStart_));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream fields(line);
        FtpLogEntry entry{};
        if (!(fields >> entry.connection >> entry.event) || entry.connection == 0) continue;
        // The argument is the rest of the line after one blank, kept verbatim.
        const size_t at = line.find(' ', line.find(' ') + 1);
        if (at != std::string::npos) entry.argument = line.substr(at + 1);
        entries.push_back(std::move(entry));
    }
    return entries;
}

int FtpServer::Connections() const {
    std::set<int> ids;
    for (const FtpLogEntry& entry : Log()) {
        if (entry.event == "connect") ids.insert(entry.connection);
    }
    return static_cast<int>(ids.size());
}

unsigned long long FtpServer::BytesSent(const std::string& remotePath) const {
    unsigned long long bytes = 0;
    for (const FtpLogEntry& entry : Log()) {
        const std::string& text = entry.argument;
        const size_t space = text.rfind(' ');
        if ((entry.event == "sent" || entry.event == "cut") && space != std::string::npos &&
            text.compare(0, space, remotePath) == 0) {
            bytes += std::stoull(text.substr(space + 1));
        }
    }
    return bytes;
}

std::vector<std::string> FtpServer::Commands(const std::string& command) const {
    std::vector<std::string> arguments;
    for (const FtpLogEntry& entry : Log()) {
        if (entry.event != "cmd") continue;
        const std::string& text = entry.argument;
        if (text == command) {
            arguments.emplace_back();
        } else if (text.compare(0, command.size() + 1, command + " ") == 0) {
            arguments.push_back(text.substr(command.size() + 1));
        }
    }
    return arguments;
}
