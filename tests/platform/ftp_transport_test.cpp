// The FTP transport's contract on both systems (WinInet's, under Wine, in the Windows build):
// what a fetch refuses before anything is sent. The transfers themselves are held to their
// bounds by tests/net.
#include "platform/ftp_transport.h"

#include <gtest/gtest.h>

#include "support/ftp_server.h"

namespace {

TEST(FtpTransport, AFetchRefusesWhatItCannotSend) {
    FtpServer server;
    if (server.Unavailable()) GTEST_SKIP() << server.Error();
    ASSERT_TRUE(server.Running()) << server.Error();
    server.Put("Update/a.bin", "abc");
    ftp::Opened<ftp::Session> session = ftp::Session::Open("test", true, {5000, 5000});
    ASSERT_TRUE(session.value);
    ftp::Opened<ftp::Connection> connection = session.value.Connect(
        {server.Host(), server.Port(), server.User().c_str(), server.Password().c_str()});
    ASSERT_TRUE(connection.value) << connection.error;

    const struct {
        const char* path;
        ULONGLONG offset;
    } refused[] = {
        {"Update/a.bin", 1},  // resuming is not supported yet
        {"Update/a.bin\r\nDELE a.bin", 0},
        {nullptr, 0},
    };
    for (const auto& c : refused) {
        ftp::FileRequest request;
        request.remotePath = c.path;
        request.offset = c.offset;
        const ftp::Opened<ftp::Download> download = connection.value.Fetch(request);
        EXPECT_FALSE(download.value);
        EXPECT_EQ(download.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_FALSE(server.Saw("RETR"));
    EXPECT_FALSE(server.Saw("REST"));

    // The connection still serves a request it can send.
    ftp::FileRequest request;
    request.remotePath = "Update/a.bin";
    ftp::Opened<ftp::Download> download = connection.value.Fetch(request);
    ASSERT_TRUE(download.value) << download.error;
    char bytes[8] = {};
    const ftp::Piece piece = download.value.Read(bytes, sizeof bytes, 5000);
    EXPECT_EQ(piece.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(std::string(bytes, piece.size), "abc");
}

}  // namespace
