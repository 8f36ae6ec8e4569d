// The FTP transport's contract on both systems (WinInet's, under Wine, in the Windows build):
// what a fetch refuses before anything is sent, what it asks the server (each question a
// round trip), and a fetch that starts at an offset. The transfers themselves are held to their
// bounds by tests/net.
#include "platform/ftp_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/ftp_server.h"

namespace {

// A session and a connection to server, logged in; the connection is empty (with the error)
// when it could not be made.
struct LoggedIn {
    explicit LoggedIn(const FtpServer& server)
        : session(ftp::Session::Open("test", true, {5000, 5000})) {
        if (session.value) {
            connection = session.value.Connect(
                {server.Host(), server.Port(), server.User().c_str(), server.Password().c_str()});
        }
    }
    ftp::Opened<ftp::Session> session;
    ftp::Opened<ftp::Connection> connection;
};

// Reads a download to its end into bytes: ERROR_SUCCESS, or the error of the read that failed.
DWORD ReadAll(ftp::Download& download, std::string& bytes) {
    for (;;) {
        char piece[4096];
        const ftp::Piece read = download.Read(piece, sizeof piece, 5000);
        if (read.error != ERROR_SUCCESS) return read.error;
        if (read.size == 0) return ERROR_SUCCESS;
        bytes.append(piece, read.size);
    }
}

// Fetches a file whole on the connection; what the download announced, or "failed".
std::string FetchWhole(ftp::Connection& connection, const ftp::FileRequest& request,
                       std::string* bytes) {
    ftp::Opened<ftp::Download> download = connection.Fetch(request);
    if (!download.value) return "failed " + std::to_string(download.error);
    const ULONGLONG announced = download.value.Announced();
    if (const DWORD error = ReadAll(download.value, *bytes); error != ERROR_SUCCESS) {
        return "failed " + std::to_string(error);
    }
    download.value.Close(5000);
    return announced == ftp::kNoSizeAnnounced ? "none" : std::to_string(announced);
}

struct Fetched {
    const char* path;
    bool ascii;
    ULONGLONG knownSize;
    const char* announced;  // what the download says the server announced
    bool asksTime = false;
    ULONGLONG timeFromBytes = 0;
};

// A file is asked nothing whose answer the run has: the size a caller knows or a server names
// in its 125/150 reply, the transfer type the connection is in, an extended PORT the server may
// refuse, the time of a file its size shows too small to be worth resuming.
TEST(FtpTransport, AFetchAsksOnlyWhatItCannotKnow) {
    const ULONGLONG none = ftp::kNoSizeAnnounced;
    const struct {
        const char* name;
        std::vector<Fetched> fetches;
        std::vector<std::string> sized;       // the paths SIZE asked for, in order
        std::vector<std::string> timed = {};  // the paths MDTM asked for, in order
    } cases[] = {
        {"the time of a file large enough",
         {{"Update/a.bin", false, none, "4", true, 4},
          {"Update/b.bin", false, none, "3", true, 4},
          {"Update/b.bin", false, none, "3", true, 0},
          {"Update/a.bin", false, none, "4", true, 4}},
         {"Update/a.bin", "Update/b.bin", "Update/b.bin", "Update/a.bin"},
         {"Update/a.bin", "Update/b.bin", "Update/a.bin"}},
        {"each binary file unknown",
         {{"Update/a.bin", false, none, "4"}, {"Update/b.bin", false, none, "3"}},
         {"Update/a.bin", "Update/b.bin"}},
        {"a size the caller knows",
         {{"Update/a.bin", false, 4, "none"}, {"Update/b.bin", false, none, "3"}},
         {"Update/b.bin"}},
        {"ascii", {{"Update/a.bin", true, none, "none"}}, {}},
        // Once a reply named the count, the next ones are trusted to.
        {"a server that names the count",
         {{"Update/count-2.bin", false, none, "2"},
          {"Update/count-2.bin", false, none, "2"},
          {"Update/b.bin", false, none, "none"}},
         {"Update/count-2.bin"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A server object a case: its log starts with the case.
        FtpServer server;
        if (server.Unavailable()) GTEST_SKIP() << server.Error();
        ASSERT_TRUE(server.Running()) << server.Error();
        if (!server.NamedFaults()) GTEST_SKIP() << "the server was not started with --named-faults";
        server.Put("Update/a.bin", "abcd");
        server.Put("Update/b.bin", "bcd");
        server.Put("Update/count-2.bin", "ab");
        LoggedIn loggedIn(server);
        ftp::Opened<ftp::Connection>& connection = loggedIn.connection;
        ASSERT_TRUE(connection.value) << connection.error;
        size_t binary = 0;
        for (const Fetched& f : c.fetches) {
            ftp::FileRequest request;
            request.remotePath = f.path;
            request.ascii = f.ascii;
            request.knownSize = f.knownSize;
            request.asksTime = f.asksTime;
            request.timeFromBytes = f.timeFromBytes;
            std::string bytes;
            EXPECT_EQ(FetchWhole(connection.value, request, &bytes), f.announced) << f.path;
            EXPECT_FALSE(bytes.empty()) << f.path;
            binary += f.ascii ? 0 : 1;
        }
        connection.value = ftp::Connection();
        EXPECT_EQ(server.Commands("SIZE"), c.sized);
        EXPECT_EQ(server.Commands("MDTM"), c.timed);
        // The system's library may set the type before each transfer; we add one at most.
        EXPECT_LE(server.Commands("TYPE").size(), c.fetches.size() + (binary ? 1 : 0));
        EXPECT_TRUE(server.Commands("EPRT").empty());
        EXPECT_EQ(server.Commands("PORT").size(), c.fetches.size());
    }
}

TEST(FtpTransport, AFetchRefusesWhatItCannotSend) {
    FtpServer server;
    if (server.Unavailable()) GTEST_SKIP() << server.Error();
    ASSERT_TRUE(server.Running()) << server.Error();
    server.Put("Update/a.bin", "abc");
    LoggedIn loggedIn(server);
    ftp::Opened<ftp::Connection>& connection = loggedIn.connection;
    ASSERT_TRUE(connection.value) << connection.error;

    const struct {
        const char* path;
        ULONGLONG offset;
        bool ascii;
    } refused[] = {
        {"Update/a.bin", 1, true},  // an ASCII transfer's offsets are not the file's
        {"Update/a.bin\r\nDELE a.bin", 0, false},
        {nullptr, 0, false},
    };
    for (const auto& c : refused) {
        ftp::FileRequest request;
        request.remotePath = c.path;
        request.offset = c.offset;
        request.ascii = c.ascii;
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
    // Read to its end: Wine's WinInet holds up the next test's connect for a while after a
    // download left unfinished.
    EXPECT_EQ(download.value.Read(bytes, sizeof bytes, 5000).size, 0u);
    download.value.Close(5000);
}

// A fetch at an offset gets the rest of the file and announces the whole file's size; a server
// that cannot resume says so, and the connection serves the next fetch.
TEST(FtpTransport, AFetchAtAnOffsetGetsTheRest) {
    FtpServer server;
    if (server.Unavailable()) GTEST_SKIP() << server.Error();
    ASSERT_TRUE(server.Running()) << server.Error();
    if (!server.NamedFaults()) GTEST_SKIP() << "the server was not started with --named-faults";
    const std::string bytes = "0123456789abcdef";
    server.Put("Update/rest.bin", bytes);
    server.Put("Update/norest.bin", bytes);
    LoggedIn loggedIn(server);
    ftp::Opened<ftp::Connection>& connection = loggedIn.connection;
    ASSERT_TRUE(connection.value) << connection.error;

    const struct {
        const char* path;
        ULONGLONG offset;
        DWORD error;  // of the fetch
        const char* rest;
        bool confirmed;  // by the server (libcurl asks nothing for a file it has whole)
    } cases[] = {
        {"Update/rest.bin", 10, ERROR_SUCCESS, "abcdef", true},
        {"Update/rest.bin", 1, ERROR_SUCCESS, "123456789abcdef", true},
        {"Update/rest.bin", 16, ERROR_SUCCESS, "", false},
        {"Update/norest.bin", 4, ERROR_NOT_SUPPORTED, nullptr, false},
        {"Update/norest.bin", 0, ERROR_SUCCESS, "0123456789abcdef", true},
        {"Update/rest.bin", 0, ERROR_SUCCESS, "0123456789abcdef", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " at " + std::to_string(c.offset));
        ftp::FileRequest request;
        request.remotePath = c.path;
        request.offset = c.offset;
        ftp::Opened<ftp::Download> download = connection.value.Fetch(request);
        ASSERT_EQ(download.error, c.error);
        if (c.rest == nullptr) {
            EXPECT_FALSE(download.value);
            EXPECT_GE(download.reply, 500u);
            continue;
        }
        ASSERT_TRUE(download.value);
        EXPECT_EQ(download.value.Announced(), bytes.size());
        std::string got;
        ASSERT_EQ(ReadAll(download.value, got), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(got, c.rest);
        const DWORD reply = download.value.Close(5000);
        if (c.confirmed) {
            EXPECT_EQ(reply, 226u);
        }
    }
    std::vector<std::string> rests = server.Commands("REST");
    rests.erase(std::remove(rests.begin(), rests.end(), "16"), rests.end());
    EXPECT_EQ(rests, (std::vector<std::string>{"10", "1", "4"}));
}

}  // namespace
