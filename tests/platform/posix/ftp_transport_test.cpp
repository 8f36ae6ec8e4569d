// The libcurl FTP transport: how servers and remote paths become URLs, what closing a session
// does, and the QUIT after a refused login.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "platform/ftp_transport.h"
#include "platform/posix/ftp_curl.h"
#include "support/ftp_server.h"

namespace {

struct ServerUrlCase {
    const char* host;
    INTERNET_PORT port;
    std::optional<std::string> url;
};

TEST(InetUrl, ServerUrls) {
    const ServerUrlCase cases[] = {
        {"127.0.0.1", 0, "ftp://127.0.0.1:21/"},  // port 0 is the FTP default
        {"127.0.0.1", 2121, "ftp://127.0.0.1:2121/"},
        {"ftp.example.org", 21, "ftp://ftp.example.org:21/"},
        {"::1", 0, "ftp://[::1]:21/"},
        {"", 0, std::nullopt},
        {nullptr, 0, std::nullopt},
        {"host/path", 0, std::nullopt},
        {"user@host", 0, std::nullopt},
    };
    for (const ServerUrlCase& c : cases) {
        SCOPED_TRACE(c.host ? c.host : "(null)");
        EXPECT_EQ(posix::FtpServerUrl(c.host, c.port), c.url);
    }
}

TEST(InetUrl, RemotePathsAreEscapedSegmentBySegment) {
    const std::string base = "ftp://h:21/";
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"Update/Version.txt", base + "Update/Version.txt"},
        {"Update/a;type=a", base + "Update/a%3Btype%3Da"},
        {"%2e%2e/x", base + "%252e%252e/x"},
        {"a b\\c", base + "a%20b%5Cc"},
        {"/abs/x", base + "/abs/x"},  // "//": an absolute path, as given
        {"", std::nullopt},
        {"Update/", std::nullopt},  // a directory would be listed, not fetched
        {nullptr, std::nullopt},
    };
    for (const auto& [path, url] : cases) {
        SCOPED_TRACE(path ? path : "(null)");
        EXPECT_EQ(posix::FtpFileUrl(base, path), url);
    }
}

ftp::Session OpenSession() {
    ftp::Opened<ftp::Session> session = ftp::Session::Open("test", true, {});
    EXPECT_EQ(session.error, static_cast<DWORD>(ERROR_SUCCESS));
    return std::move(session.value);
}

ftp::Account AccountOf(const FtpServer& server, const char* password = nullptr) {
    return {server.Host(), server.Port(), server.User().c_str(),
            password ? password : server.Password().c_str()};
}

TEST(FtpTransport, ClosingTheSessionClosesItsConnections) {
    FtpServer server;
    ASSERT_TRUE(server.Running()) << server.Error();
    ftp::Session session = OpenSession();
    ftp::Opened<ftp::Connection> connection = session.Connect(AccountOf(server));
    ASSERT_TRUE(connection.value);

    session = ftp::Session();
    // QUIT went out as the connection closed: the server saw it.
    EXPECT_TRUE(server.Saw("QUIT"));
    ftp::FileRequest request;
    request.remotePath = "a";
    request.timeoutMs = 1000;
    EXPECT_EQ(connection.value.Fetch(request).error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(session.Connect(AccountOf(server)).error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// libcurl drops the connection of a refused login without a word; the transport says QUIT on it.
TEST(FtpTransport, ARefusedLoginSaysQuit) {
    for (const bool refuseAll : {false, true}) {
        SCOPED_TRACE(refuseAll ? "every login refused" : "wrong password");
        FtpServerOptions options;
        options.refuseLogins = refuseAll;
        FtpServer server(options);
        ASSERT_TRUE(server.Running()) << server.Error();
        ftp::Session session = OpenSession();
        const ftp::Opened<ftp::Connection> connection =
            session.Connect(AccountOf(server, refuseAll ? nullptr : "Wrong0ne"));
        EXPECT_FALSE(connection.value);
        EXPECT_EQ(connection.error, static_cast<DWORD>(ERROR_INTERNET_LOGIN_FAILURE));
        EXPECT_EQ(server.Commands("QUIT").size(), 1u);
        EXPECT_EQ(server.Connections(), 1);
    }
}

// Time-outs without a limit are refused: every wait stays bounded.
TEST(FtpTransport, UnboundedTimeoutsAreRefused) {
    ftp::Session session = OpenSession();
    for (const ftp::Timeouts timeouts :
         {ftp::Timeouts{0, 1000}, ftp::Timeouts{1000, 0xFFFFFFFFu}}) {
        EXPECT_EQ(session.SetTimeouts(timeouts), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_FALSE(ftp::Session::Open("test", false, timeouts).value);
    }
    EXPECT_EQ(session.SetTimeouts({1000, 1000}), static_cast<DWORD>(ERROR_SUCCESS));
}

}  // namespace
