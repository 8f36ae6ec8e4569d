// A local FTP update server for tests: scripts/ftp_server.py run by the build's Python on a free
// 127.0.0.1 port, with a temporary root and log, stopped (SIGTERM) when the object goes.
//
// An externally started server is used instead when KESTRIN_TEST_FTP_PORT is set, with
// KESTRIN_TEST_FTP_ROOT (its root directory, as this program names it: a Windows path under
// Wine, e.g. from `winepath -w`) and KESTRIN_TEST_FTP_LOG (its --log file). The Windows build's
// tests run that way, since a program under Wine cannot start the Linux interpreter. Such a
// server must run with the compiled-in account and --named-faults (as ours does), and tests
// that use it must not run in parallel (they share its root and log). A test that asks for
// what it cannot give (a fault mode of the options, another account) is told so by
// Unavailable() and should skip. Broken transfers need no options: a file named
// "drop-after-N..." or "stall-after-N..." breaks after N bytes on any of these servers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ftp_transport.h"

struct FtpServerOptions {
    FtpServerOptions();
    std::string user;      // the compiled-in account by default
    std::string password;  // the compiled-in password by default
    // Fault modes (see scripts/ftp_server.py); only a server of our own has them.
    std::optional<long> dropAfter;   // bytes of a RETR before both connections are dropped
    std::optional<long> stallAfter;  // bytes of a RETR before the server falls silent
    std::string faultFile;           // limit those two to RETRs of this last path component
    bool refuseLogins = false;
    bool mute = false;   // never reply, not even with the greeting
    int busy = 0;        // connections answered with 421 (and closed) at the greeting,
    std::string busyOn;  // or in reply to this command
};

// One line of the server's log: "<connection> <event> <argument>". Events: connect, cmd
// (argument: the command and its literal argument), login, login-failed, sessions (the sessions
// logged in right after a login), too-many, sent and cut (the path and the bytes sent), busy,
// disconnect.
struct FtpLogEntry {
    int connection;
    std::string event;
    std::string argument;
};

class FtpServer {
  public:
    explicit FtpServer(FtpServerOptions options = {});
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    // Accepting connections, ready for the test.
    bool Running() const { return running_; }
    // The external server cannot do what the options ask: skip, with Error() as the reason.
    bool Unavailable() const { return unavailable_; }
    const std::string& Error() const { return error_; }
    bool External() const { return external_; }
    // Files named "drop-after-N..." or "stall-after-N..." break as named (always so with a
    // server of our own; an external one says so in its log).
    bool NamedFaults() const { return namedFaults_; }

    const char* Host() const { return "127.0.0.1"; }
    INTERNET_PORT Port() const { return port_; }
    const std::string& User() const { return options_.user; }
    const std::string& Password() const { return options_.password; }
    const std::filesystem::path& Root() const { return root_; }

    // Writes a file the server will serve, at a "/"-separated path below its root.
    void Put(const std::string& remotePath, const std::string& bytes) const;

    // Stops a server of our own now (its port then has nothing listening).
    void Stop();

    // The log lines written since this object was made (the listening line left out).
    std::vector<FtpLogEntry> Log() const;
    // Distinct control connections the server accepted.
    int Connections() const;
    // The arguments of each "cmd" entry for the given command (e.g. "RETR"), in order.
    std::vector<std::string> Commands(const std::string& command) const;
    // The bytes the server sent of a path over all its RETRs, whole ("sent") or cut off ("cut").
    unsigned long long BytesSent(const std::string& remotePath) const;
    // Whether the log holds a "cmd" entry for the command.
    bool Saw(const std::string& command) const { return !Commands(command).empty(); }

  private:
    struct Process;  // the launched interpreter, per platform
    struct ProcessDeleter {
        void operator()(Process* process) const;
    };
    bool Launch();  // per platform: starts our own server, sets port_, root_ and log_
    void StopProcess();

    FtpServerOptions options_;
    bool running_ = false;
    bool unavailable_ = false;
    bool external_ = false;
    bool namedFaults_ = false;
    std::string error_;
    INTERNET_PORT port_ = 0;
    std::filesystem::path root_;
    std::filesystem::path log_;
    std::uintmax_t logStart_ = 0;
    std::unique_ptr<Process, ProcessDeleter> process_;
};
