// Our own test FTP server on POSIX: scripts/ftp_server.py (found through KESTRIN_SOURCE_DIR) run
// by the build's Python interpreter (KESTRIN_PYTHON, the one CMake chose for having pyftpdlib),
// with its root, log and output in a temporary directory, ended with SIGTERM and, should it
// linger, SIGKILL.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ftp_server.h"
#include "test_env.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct FtpServer::Process {
    Process() = default;
    ~Process() { End(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void End() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (::waitpid(pid, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        pid = -1;
    }

    TempDir dir;
    pid_t pid = -1;
};

void FtpServer::ProcessDeleter::operator()(Process* process) const {
    delete process;
}

namespace {

struct FileActions {
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t actions;
};

}  // namespace

bool FtpServer::Launch() {
    const char* source = std::getenv("KESTRIN_SOURCE_DIR");
    if (source == nullptr) {
        error_ = "KESTRIN_SOURCE_DIR is not set: it names the source tree with the server script";
        return false;
    }
    std::unique_ptr<Process, ProcessDeleter> process(new Process);
    const fs::path dir = process->dir.path();
    root_ = dir / "root";
    log_ = dir / "server.log";
    const fs::path portFile = dir / "port";
    const fs::path output = dir / "server.out";
    fs::create_directories(root_);

    // Named faults always: a test breaks a transfer by the name of the file it fetches.
    // clang-format off
    std::vector<std::string> args = {
        KESTRIN_PYTHON, (fs::path(source) / "scripts" / "ftp_server.py").string(),
        "--host", Host(), "--port", "0", "--root", root_.string(), "--user", options_.user,
        "--password", options_.password, "--port-file", portFile.string(), "--log",
        log_.string(), "--named-faults"};
    // clang-format on
    if (options_.dropAfter)
        args.insert(args.end(), {"--drop-after", std::to_string(*options_.dropAfter)});
    if (options_.stallAfter)
        args.insert(args.end(), {"--stall-after", std::to_string(*options_.stallAfter)});
    if (!options_.faultFile.empty()) args.insert(args.end(), {"--fault-file", options_.faultFile});
    if (options_.refuseLogins) args.push_back("--refuse-logins");
    if (options_.mute) args.push_back("--mute");
    if (options_.busy != 0) args.insert(args.end(), {"--busy", std::to_string(options_.busy)});
    if (!options_.busyOn.empty()) args.insert(args.end(), {"--busy-on", options_.busyOn});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    FileActions files;
    posix_spawn_file_actions_addopen(&files.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files.actions, 1, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&files.actions, 1, 2);
    if (posix_spawn(&process->pid, argv[0], &files.actions, nullptr, argv.data(), environ) != 0) {
        process->pid = -1;
        error_ = std::string("cannot start ") + KESTRIN_PYTHON;
        return false;
    }

    const auto deadline = std::chrono::steady_clock::now() + 15s;
    for (;;) {
        std::ifstream in(portFile);
        if (unsigned port = 0; in >> port && port != 0) {
            port_ = static_cast<INTERNET_PORT>(port);
            break;
        }
        if (::waitpid(process->pid, nullptr, WNOHANG) != 0) {
            process->pid = -1;
            error_ = "the FTP server ended at start: " + ReadFile(output);
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            error_ = "the FTP server did not start within 15 s: " + ReadFile(output);
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    process_ = std::move(process);
    return true;
}

void FtpServer::StopProcess() {
    if (process_) process_->End();
}
