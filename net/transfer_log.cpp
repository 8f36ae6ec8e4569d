#include "net/transfer_log.h"

#include <cctype>
#include <string_view>

#include "framework/diag_log.h"
#include "net/download.h"

namespace net {

namespace {

// The last reply this thread's connection received, which a refused connect names.
thread_local std::string t_lastReply;

void TraceToLog(ftp::Traced what, std::string_view text) {
    if (what == ftp::Traced::Received) t_lastReply.assign(text);
    diag::Write(TraceLine(what, text));
}

std::string Trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

}  // namespace

void TraceTransport() {
    if (diag::Enabled()) ftp::g_traceSink.store(&TraceToLog);
}

std::string TraceLine(ftp::Traced what, std::string_view text) {
    const char* direction = what == ftp::Traced::Sent       ? "sent: "
                            : what == ftp::Traced::Received ? "received: "
                                                            : "ftp: ";
    std::string line = Trimmed(text);
    if (what == ftp::Traced::Sent && line.size() >= 4 &&
        std::toupper(static_cast<unsigned char>(line[0])) == 'P' &&
        std::toupper(static_cast<unsigned char>(line[1])) == 'A' &&
        std::toupper(static_cast<unsigned char>(line[2])) == 'S' &&
        std::toupper(static_cast<unsigned char>(line[3])) == 'S' &&
        (line.size() == 4 || line[4] == ' ')) {
        line = line.substr(0, 4) + " ****";
    }
    return direction + line;
}

std::string ErrorWords(DWORD error) {
    switch (error) {
        case ERROR_INTERNET_NAME_NOT_RESOLVED:
            return "the server's name could not be resolved";
        case ERROR_INTERNET_CANNOT_CONNECT:
            return "the connection was refused or could not be made";
        case ERROR_INTERNET_TIMEOUT:
            return "the server did not answer in time, or the transfer fell below the floor rate";
        case ERROR_INTERNET_LOGIN_FAILURE:
        case ERROR_INTERNET_INCORRECT_USER_NAME:
        case ERROR_INTERNET_INCORRECT_PASSWORD:
            return "the server refused the login";
        case ERROR_INTERNET_EXTENDED_ERROR:
            return "the server refused the request";
        case ERROR_INTERNET_CONNECTION_ABORTED:
        case ERROR_INTERNET_CONNECTION_RESET:
            return "the connection broke, or the server did not confirm the transfer";
        case ERROR_FTP_DROPPED:
            return "the server dropped the transfer";
        case ERROR_FTP_TRANSFER_IN_PROGRESS:
            return "the server was busy, or a transfer was still under way";
        case ERROR_INTERNET_INVALID_URL:
            return "the server's name or the file's path cannot be asked for";
        case ERROR_INTERNET_OPERATION_CANCELLED:
            return "the transfer was given up";
        case ERROR_INVALID_DATA:
            return "the bytes are not those of the file announced or recorded";
        case ERROR_FILE_TOO_LARGE:
            return "the file is larger than it may be";
        case ERROR_NOT_SUPPORTED:
            return "the server cannot go on where the transfer was cut off";
        case ERROR_ACCESS_DENIED:
            return "the local file or directory may not be written";
        case ERROR_DISK_FULL:
            return "the disk is full";
        case ERROR_PATH_NOT_FOUND:
        case ERROR_FILE_NOT_FOUND:
            return "the local directory is missing";
        case ERROR_FILENAME_EXCED_RANGE:
            return "the local path is too long";
        case ERROR_INVALID_PARAMETER:
            return "the name cannot be fetched";
        case ERROR_NOT_ENOUGH_MEMORY:
            return "memory ran out";
        case ERROR_INVALID_HANDLE:
            return "the connection was closed";
        default:
            return "error " + std::to_string(error);
    }
}

void LogConnect(const ftp::Account& account, const ftp::Opened<ftp::Connection>& opened) {
    if (!diag::Enabled()) return;
    const unsigned port = account.port == 0 ? INTERNET_DEFAULT_FTP_PORT : account.port;
    const std::string server = std::string(account.host ? account.host : "") + ":" +
                               std::to_string(port) + " as " +
                               (account.user ? account.user : "anonymous");
    if (opened.value) {
        diag::Log("connect to ", server, ": logged in");
    } else if (opened.reply != 0) {
        diag::Log("connect to ", server, " failed: ", ErrorWords(opened.error), " (the reply ",
                  Trimmed(t_lastReply), ")");
    } else {
        diag::Log("connect to ", server, " failed: ", ErrorWords(opened.error));
    }
}

ftp::Opened<ftp::Connection> LoggedConnect(ftp::Session& session, const ftp::Account& account) {
    ftp::Opened<ftp::Connection> opened = session.Connect(account);
    LogConnect(account, opened);
    return opened;
}

TryLog::TryLog(const char* remotePath, const Received& received)
    : m_remotePath(remotePath ? remotePath : ""),
      m_received(received),
      m_from(received.bytes),
      m_start(std::chrono::steady_clock::now()) {}

TryLog::~TryLog() {
    if (!diag::Enabled()) return;
    const DWORD error = GetLastError();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - m_start)
                        .count();
    std::string from = m_from != 0 ? " from byte " + std::to_string(m_from) : "";
    std::string announced = m_received.announced != ftp::kNoSizeAnnounced
                                ? " of " + std::to_string(m_received.announced) + " announced"
                                : "";
    const ULONGLONG bytes = m_received.bytes - m_from;
    if (m_landed) {
        diag::Log("transfer ", m_remotePath, from, ": ", bytes, " bytes", announced, " in ", ms,
                  " ms: landed");
    } else {
        std::string refusal =
            m_received.refusal != 0 ? " (the reply " + Trimmed(t_lastReply) + ")" : "";
        diag::Log("transfer ", m_remotePath, from, ": ", bytes, " bytes", announced, " in ", ms,
                  " ms: failed: ", ErrorWords(error), refusal);
    }
    SetLastError(error);
}

}  // namespace net
