#include "ftp_login.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/ftp_replies.h"

// The last reply the server sent to this thread's WinInet calls.
std::string LastReply() {
    DWORD error = 0;
    char text[1024 + 1] = {};
    DWORD size = sizeof text - 1;
    if (!InternetGetLastResponseInfoA(&error, text, &size)) return std::string();
    std::string reply(text, strnlen(text, sizeof text - 1));
    ftp::Trace(ftp::Traced::Received, reply);
    return reply;
}

namespace {

// A login given up is left to its thread, which closes the connection should it still come.
struct Dialing {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool abandoned = false;
    HINTERNET handle = nullptr;
    DWORD error = ERROR_SUCCESS;
    DWORD reply = 0;

    void Run(HINTERNET session, const std::string& host, INTERNET_PORT port,
             const std::optional<std::string>& user, const std::optional<std::string>& password,
             DWORD flags) {
        ftp::Trace(ftp::Traced::Note, "InternetConnectA " + host + " port " + std::to_string(port));
        HINTERNET connection = InternetConnectA(
            session, host.c_str(), port, user ? user->c_str() : nullptr,
            password ? password->c_str() : nullptr, INTERNET_SERVICE_FTP, flags, 0);
        const DWORD failure = connection == nullptr ? GetLastError() : ERROR_SUCCESS;
        // The last reply is this call's only when the server was reached (it may be older
        // otherwise). Wine reports a 421 greeting as ERROR_FTP_TRANSFER_IN_PROGRESS.
        const bool answered = connection == nullptr && failure != ERROR_INTERNET_CANNOT_CONNECT &&
                              failure != ERROR_INTERNET_TIMEOUT &&
                              failure != ERROR_INTERNET_NAME_NOT_RESOLVED;
        const DWORD code = answered ? ftp_replies::Code(LastReply()) : 0;
        // The login's reply, for the trace (WinInet keeps it for this thread only).
        if (connection != nullptr && ftp::g_traceSink.load() != nullptr) LastReply();
        const std::lock_guard<std::mutex> lock(mutex);
        if (abandoned) {
            if (connection != nullptr) InternetCloseHandle(connection);
            return;
        }
        handle = connection;
        error = failure;
        reply = code;
        done = true;
        changed.notify_all();
    }
};

}  // namespace

Dialed Dial(HINTERNET session, const ftp::Account& account, DWORD connectMs,
            const CancelToken* cancel) {
    if (account.host == nullptr) return {nullptr, ERROR_INVALID_PARAMETER, 0};
    auto dialing = std::make_shared<Dialing>();
    auto text = [](const char* value) {
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    std::thread([dialing, session, host = std::string(account.host), port = account.port,
                 user = text(account.user), password = text(account.password),
                 flags = static_cast<DWORD>(account.passive ? INTERNET_FLAG_PASSIVE : 0)] {
        dialing->Run(session, host, port, user, password, flags);
    }).detach();
    // Waited on a slice at a time, so that the run's token is looked at (and the window
    // answers) while a server that never greets holds the login.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(connectMs);
    std::unique_lock<std::mutex> lock(dialing->mutex);
    for (;;) {
        if (dialing->changed.wait_for(lock, std::chrono::milliseconds(CancelToken::kPollMs),
                                      [&dialing] { return dialing->done; })) {
            break;
        }
        lock.unlock();
        const bool goOn = Continues(cancel);
        lock.lock();
        if (dialing->done) break;
        if (!goOn || std::chrono::steady_clock::now() >= end) {
            dialing->abandoned = true;
            const DWORD error = goOn ? ERROR_INTERNET_TIMEOUT : ERROR_INTERNET_OPERATION_CANCELLED;
            return {nullptr, error, 0};
        }
    }
    return {dialing->handle, dialing->error, dialing->reply};
}
