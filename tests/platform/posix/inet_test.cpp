// The POSIX WinInet layer: how servers and remote paths become URLs, and the handle rules.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/ftp_download.h"
#include "platform/posix/inet_url.h"
#include "platform/win32api.h"
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

TEST(InetHandles, ClosingTheSessionClosesItsConnections) {
    FtpServer server;
    ASSERT_TRUE(server.Running()) << server.Error();
    HINTERNET session = InternetOpenA("test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET connection =
        InternetConnectA(session, server.Host(), server.Port(), server.User().c_str(),
                         server.Password().c_str(), INTERNET_SERVICE_FTP, 0, 1);
    ASSERT_NE(connection, nullptr);

    EXPECT_TRUE(InternetCloseHandle(session));
    // QUIT went out as the connection closed: the server saw it.
    EXPECT_TRUE(server.Saw("QUIT"));
    ULONGLONG announced = 0;
    EXPECT_EQ(FtpOpenDownload(connection, "a", FTP_TRANSFER_TYPE_BINARY, 1, 1000, &announced),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(InternetCloseHandle(connection));
    EXPECT_FALSE(InternetConnectA(session, server.Host(), server.Port(), "u", "p",
                                  INTERNET_SERVICE_FTP, 0, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// libcurl drops the connection of a refused login without a word; the layer says QUIT on it.
TEST(InetHandles, ARefusedLoginSaysQuit) {
    for (const bool refuseAll : {false, true}) {
        SCOPED_TRACE(refuseAll ? "every login refused" : "wrong password");
        FtpServerOptions options;
        options.refuseLogins = refuseAll;
        FtpServer server(options);
        ASSERT_TRUE(server.Running()) << server.Error();
        HINTERNET session = InternetOpenA("test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
        EXPECT_EQ(InternetConnectA(session, server.Host(), server.Port(), server.User().c_str(),
                                   refuseAll ? server.Password().c_str() : "Wrong0ne",
                                   INTERNET_SERVICE_FTP, 0, 1),
                  nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_LOGIN_FAILURE));
        EXPECT_EQ(server.Commands("QUIT").size(), 1u);
        EXPECT_EQ(server.Connections(), 1);
        InternetCloseHandle(session);
    }
}

}  // namespace
