// The FTP session, connection and downloads against a real server on a loopback port.
#include "net/internet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "kestrin_config.h"
#include "net/download.h"
#include "platform/landing.h"
#include "support/ftp_server.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

#define START_SERVER(server)                                          \
    do {                                                              \
        if ((server).Unavailable()) GTEST_SKIP() << (server).Error(); \
        ASSERT_TRUE((server).Running()) << (server).Error();          \
    } while (0)

// Every byte value, and line ends of both kinds: an ASCII-mode transfer would alter them.
std::string Payload(size_t size) {
    std::string bytes;
    for (size_t i = 0; bytes.size() < size; ++i) {
        bytes += static_cast<char>(i % 256);
        if (i % 97 == 0) bytes += "\r\n\n\r";
    }
    bytes.resize(size);
    return bytes;
}

// Another file of the same size: what a server holds after it changed a file.
std::string Changed(size_t size) {
    std::string bytes = Payload(size);
    for (char& c : bytes) c = static_cast<char>(c ^ 0x5A);
    return bytes;
}

// Writes the copy a server with the "changes" fault turns to after a file's first cut, an hour
// later than the file (later) or as old as it (the same time: only the content tells).
void PutChangedCopy(const FtpServer& server, const std::string& remote, size_t size, bool later) {
    server.Put(remote + ".next", Changed(size));
    const fs::path root = server.Root();
    const fs::file_time_type stamp = fs::last_write_time(root / remote);
    fs::last_write_time(root / (remote + ".next"), later ? stamp + std::chrono::hours(1) : stamp);
}

void SetTimeouts(CInternetSession& session, DWORD milliseconds) {
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        ASSERT_TRUE(session.SetOption(option, milliseconds));
    }
}

std::unique_ptr<CFtpConnection> Connect(CInternetSession& session, const FtpServer& server) {
    return std::unique_ptr<CFtpConnection>(session.OpenFtpConnection(
        server.Host(), server.User().c_str(), server.Password().c_str(), server.Port(), false));
}

bool Download(CFtpConnection& connection, const std::string& remote, const fs::path& local,
              bool failIfExists = false) {
    return connection.DownloadFile(remote.c_str(), local.parent_path().string().c_str(),
                                   local.filename().string().c_str(), failIfExists,
                                   FILE_ATTRIBUTE_NORMAL, FTP_TRANSFER_TYPE_BINARY, 1);
}

std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

TEST(InternetSession, OpeningAndClosingSendsNothing) {
    FtpServer server;
    START_SERVER(server);
    { CInternetSession session; }
    EXPECT_EQ(server.Connections(), 0);
}

TEST(InternetSession, ConnectLogsInBeforeAnyDownloadAndCloseEndsTheConnection) {
    FtpServer server;
    START_SERVER(server);
    CInternetSession session;
    auto connection = Connect(session, server);
    ASSERT_NE(connection->m_handle, nullptr);
    EXPECT_EQ(connection->m_context, 1u);

    const std::vector<FtpLogEntry> log = server.Log();
    const bool loggedIn = std::any_of(log.begin(), log.end(), [&](const FtpLogEntry& e) {
        return e.event == "login" && e.argument == server.User();
    });
    EXPECT_TRUE(loggedIn);
    EXPECT_FALSE(server.Saw("RETR"));

    connection->Close();
    EXPECT_EQ(connection->m_handle, nullptr);
    connection->Close();  // a second Close does nothing
    // The server notices the end of the control connection shortly after.
    const auto start = Clock::now();
    auto disconnected = [&] {
        const auto entries = server.Log();
        return std::any_of(entries.begin(), entries.end(),
                           [](const FtpLogEntry& e) { return e.event == "disconnect"; });
    };
    while (!disconnected() && SecondsSince(start) < 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(disconnected());
}

struct RefusalCase {
    const char* name;
    bool refuseLogins;
    const char* password;  // null: the right one
};

// A case is printed by its name: the bytes of its pointers would tell nothing, and change.
void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, RaisesLoginFailureAndHoldsNothing) {
    FtpServerOptions options;
    options.refuseLogins = GetParam().refuseLogins;
    FtpServer server(options);
    START_SERVER(server);
    CInternetSession session;
    const std::string password = GetParam().password ? GetParam().password : server.Password();
    try {
        delete session.OpenFtpConnection(server.Host(), server.User().c_str(), password.c_str(),
                                         server.Port(), false);
        FAIL() << "the login was accepted";
    } catch (const CInternetException& e) {
        EXPECT_EQ(e.m_errorCode, static_cast<DWORD>(ERROR_INTERNET_LOGIN_FAILURE));
        EXPECT_EQ(e.m_context, 1u);
    }
    EXPECT_FALSE(server.Saw("RETR"));
}

INSTANTIATE_TEST_SUITE_P(InternetSession, Refusal,
                         ::testing::Values(RefusalCase{"WrongPassword", false, "Wrong0ne"},
                                           RefusalCase{"ServerRefusesAll", true, nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InternetSession, NothingListeningFailsQuickly) {
    INTERNET_PORT port = 1;  // refused on any ordinary machine
    {
        FtpServer server;
        // With a server of our own, the port it just gave up is surely free.
        if (!server.External() && server.Running()) {
            port = server.Port();
            server.Stop();
        }
    }
    CInternetSession session;
    session.m_retryWaitMs = 1;
    const auto start = Clock::now();
    try {
        delete session.OpenFtpConnection("127.0.0.1", "user", "password", port, false);
        FAIL() << "connected to a closed port";
    } catch (const CInternetException& e) {
        EXPECT_EQ(e.m_errorCode, static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT));
    }
    EXPECT_LT(SecondsSince(start), 5.0);
}

struct SilenceCase {
    const char* name;
    bool byEnvironment;  // KESTRIN_NET_TIMEOUT_MS rather than InternetSetOptionA
};

void PrintTo(const SilenceCase& c, std::ostream* os) {
    *os << c.name;
}

class SilentServer : public ::testing::TestWithParam<SilenceCase> {};

TEST_P(SilentServer, ConnectTimesOutWithinTheSetBound) {
    if (GetParam().byEnvironment && !KESTRIN_SERVER_FROM_ENV) {
        GTEST_SKIP() << "only test and demo builds read KESTRIN_NET_TIMEOUT_MS";
    }
    FtpServerOptions options;
    options.mute = true;
    FtpServer server(options);
    START_SERVER(server);
    const ScopedEnv timeout("KESTRIN_NET_TIMEOUT_MS", GetParam().byEnvironment ? "1000" : nullptr);
    CInternetSession session;
    session.m_retryWaitMs = 1;
    if (!GetParam().byEnvironment) SetTimeouts(session, 1000);
    const auto start = Clock::now();
    try {
        Connect(session, server);
        FAIL() << "a silent server was taken for a logged-in one";
    } catch (const CInternetException& e) {
        EXPECT_EQ(e.m_errorCode, static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
    }
    // Each of the three tries within the bound.
    EXPECT_LT(SecondsSince(start), 8.0);
}

INSTANTIATE_TEST_SUITE_P(InternetSession, SilentServer,
                         ::testing::Values(SilenceCase{"TimeoutSetOnTheSession", false},
                                           SilenceCase{"TimeoutFromTheEnvironment", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The waits before a connect is tried again grow, vary with the random fraction, and stay within
// the budget of all the tries.
TEST(InternetSession, RetryWaitsGrowAndStayBounded) {
    const struct {
        unsigned retry;
        double fraction;
        DWORD baseMs;
        DWORD waitMs;
    } cases[] = {
        {1, 0.0, 1000, 1000},  {1, 1.0, 1000, 2000},  {1, 0.5, 1000, 1500}, {2, 0.0, 1000, 2000},
        {2, 1.0, 1000, 4000},  {3, 0.25, 1000, 5000}, {0, 0.5, 1000, 0},    {1, 7.0, 1000, 2000},
        {9, 1.0, 1000, 20000}, {2, 0.5, 0, 0},        {2, 0.5, 20, 60},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(net::RetryWaitMs(c.retry, c.fraction, c.baseMs), c.waitMs)
            << "retry " << c.retry << ", fraction " << c.fraction << ", base " << c.baseMs;
    }
}

// A server busy for a moment (421 at the greeting) or silent is tried again, three times at
// most; a refused login only once.
struct BusyCase {
    const char* name;
    int busy;            // connections answered with 421
    const char* busyOn;  // at this command, else the greeting
    bool refuseLogins;   // every login answered with 530
    bool mute;           // no greeting at all
    bool connects;
    int connections;  // the server saw
};

void PrintTo(const BusyCase& c, std::ostream* os) {
    *os << c.name;
}

class BusyServer : public ::testing::TestWithParam<BusyCase> {};

TEST_P(BusyServer, IsTriedAgainAfterAWait) {
    FtpServerOptions options;
    options.busy = GetParam().busy;
    options.busyOn = GetParam().busyOn;
    options.refuseLogins = GetParam().refuseLogins;
    options.mute = GetParam().mute;
    FtpServer server(options);
    START_SERVER(server);
    CInternetSession session;
    SetTimeouts(session, 1000);
    session.m_retryWaitMs = 1;
    try {
        std::unique_ptr<CFtpConnection> connection = Connect(session, server);
        EXPECT_TRUE(GetParam().connects);
    } catch (const CInternetException& e) {
        EXPECT_FALSE(GetParam().connects) << "error " << e.m_errorCode;
        if (GetParam().refuseLogins) {
            EXPECT_EQ(e.m_errorCode, static_cast<DWORD>(ERROR_INTERNET_LOGIN_FAILURE));
        }
    }
    EXPECT_EQ(server.Connections(), GetParam().connections);
}

INSTANTIATE_TEST_SUITE_P(
    InternetSession, BusyServer,
    ::testing::Values(BusyCase{"BusyOnce", 1, "", false, false, true, 2},
                      BusyCase{"BusyTwice", 2, "", false, false, true, 3},
                      BusyCase{"BusyAtTheLogin", 2, "PASS", false, false, true, 3},
                      BusyCase{"StaysBusy", 5, "", false, false, false, 3},
                      BusyCase{"Silent", 0, "", false, true, false, 3},
                      BusyCase{"RefusesTheLogin", 0, "", true, false, false, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FtpConnection, DownloadsShareOneControlConnectionInActiveMode) {
    FtpServer server;
    START_SERVER(server);
    server.Put("Update/Version.txt", "Tamwix\r\n3\r\nB\r\n");
    server.Put("Update/File_list.txt", Payload(100000));
    TempDir local;
    CInternetSession session;
    auto connection = Connect(session, server);

    ASSERT_TRUE(Download(*connection, "Update/Version.txt", local.path() / "Version.txt"));
    ASSERT_TRUE(Download(*connection, "Update/File_list.txt", local.path() / "File_list.txt"));
    EXPECT_EQ(ReadFile(local.path() / "Version.txt"), "Tamwix\r\n3\r\nB\r\n");
    EXPECT_EQ(ReadFile(local.path() / "File_list.txt"), Payload(100000));

    EXPECT_EQ(server.Connections(), 1);
    EXPECT_EQ(server.Commands("RETR"),
              (std::vector<std::string>{"Update/Version.txt", "Update/File_list.txt"}));
    EXPECT_TRUE(server.Saw("PORT") || server.Saw("EPRT"));
    EXPECT_FALSE(server.Saw("PASV") || server.Saw("EPSV"));
    EXPECT_FALSE(server.Saw("CWD"));
}

TEST(FtpConnection, ReplacesAFileAndFailuresLeaveNothingBehind) {
    FtpServer server;
    START_SERVER(server);
    server.Put("Update/a.bin", "new copy");
    server.Put("Update/b.bin", "b");
    TempDir local;
    WriteFile(local.path() / "a.bin", "an older and longer copy");
    WriteFile(local.path() / "kept.bin", "local copy");
    CInternetSession session;
    auto connection = Connect(session, server);

    EXPECT_TRUE(Download(*connection, "Update/a.bin", local.path() / "a.bin"));
    EXPECT_EQ(ReadFile(local.path() / "a.bin"), "new copy");

    EXPECT_FALSE(Download(*connection, "Update/a.bin", local.path() / "kept.bin", true));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(ReadFile(local.path() / "kept.bin"), "local copy");

    EXPECT_FALSE(Download(*connection, "Update/missing.bin", local.path() / "missing.bin"));
    EXPECT_TRUE(Download(*connection, "Update/b.bin", local.path() / "b.bin"));
    EXPECT_EQ(server.Connections(), 1);

    EXPECT_FALSE(Download(*connection, "Update/b.bin", local.path() / "no such dir" / "b.bin"));
    EXPECT_TRUE(Download(*connection, "Update/b.bin", local.path() / "c.bin"));
    EXPECT_EQ(ReadFile(local.path() / "c.bin"), "b");
    EXPECT_EQ(Names(local.path()),
              (std::vector<std::string>{"a.bin", "b.bin", "c.bin", "kept.bin"}));
}

TEST(FtpConnection, ALandedFileCountsAsCreatedWhenItLanded) {
    FtpServer server;
    START_SERVER(server);
    server.Put("Update/a.bin", "fresh");
    TempDir local;
    const fs::path target = local.path() / "a.bin";
    WriteFile(target, "stale");
    // Far enough apart that keeping the old file's creation time cannot pass for "now".
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    CInternetSession session;
    auto connection = Connect(session, server);
    ASSERT_TRUE(Download(*connection, "Update/a.bin", target));

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(target.string().c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    const unsigned long long slack = 500000;  // 50 ms: file systems keep a coarser clock
    EXPECT_GE(ticks(found.ftCreationTime) + slack, ticks(before));
}

// A server that breaks its word, by the faults in a file's name (scripts/ftp_server.py).
struct HostileCase {
    const char* name;
    const char* remoteName;
    size_t size;             // what the file holds
    bool lands;              // whether the download succeeds
    DWORD error;             // the error of a failure, 0 where the systems differ
    DWORD timeoutMs = 1000;  // the receive time-out, which is the floor rate's window
    long long sent = -1;     // the bytes the server sent of the file over all tries, if checked
    int connections = -1;    // the control connections the server saw, if checked
    bool changes = false;    // the server holds another file of the size after the first cut
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

class HostileServer : public ::testing::TestWithParam<HostileCase> {};

// A failure keeps the previous copy and leaves nothing beside it, and the next file lands all
// the same (over a new login where the connection could not go on); a short time-out (the
// window of the floor rate) keeps the slow cases short.
TEST_P(HostileServer, OnlyAWholeTransferLands) {
    FtpServer server;
    START_SERVER(server);
    if (!server.NamedFaults()) GTEST_SKIP() << "the server was not started with --named-faults";
    const std::string remote = std::string("Update/") + GetParam().remoteName;
    server.Put(remote, Payload(GetParam().size));
    if (GetParam().changes) PutChangedCopy(server, remote, GetParam().size, true);
    const std::string served =
        GetParam().changes ? Changed(GetParam().size) : Payload(GetParam().size);
    const int connectionsBefore = server.Connections();
    TempDir local;
    WriteFile(local.path() / "m.bin", "previous copy");
    server.Put("Update/next.bin", "next");
    CInternetSession session;
    SetTimeouts(session, GetParam().timeoutMs);
    auto connection = Connect(session, server);

    const bool landed = Download(*connection, remote, local.path() / "m.bin");
    const DWORD error = GetLastError();
    EXPECT_EQ(landed, GetParam().lands);
    if (!landed && GetParam().error != 0) {
        EXPECT_EQ(error, GetParam().error);
    }
    EXPECT_EQ(ReadFile(local.path() / "m.bin"), GetParam().lands ? served : "previous copy");
    if (GetParam().sent >= 0) {
        EXPECT_EQ(server.BytesSent(remote), static_cast<unsigned long long>(GetParam().sent));
    }
    if (GetParam().connections >= 0) {
        EXPECT_EQ(server.Connections() - connectionsBefore, GetParam().connections);
    }
    EXPECT_TRUE(Download(*connection, "Update/next.bin", local.path() / "next.bin"))
        << "the next file, error " << GetLastError();
    EXPECT_EQ(Names(local.path()), (std::vector<std::string>{"m.bin", "next.bin"}));
}

INSTANTIATE_TEST_SUITE_P(
    FtpConnection, HostileServer,
    ::testing::Values(
        HostileCase{"LongerThanItsSize", "size-1000.bin", 4000, false, ERROR_INVALID_DATA},
        HostileCase{"ShorterThanItsSize", "size-4000.bin", 1000, false, 0},
        HostileCase{"LongerThanThe150Count", "nosize+count-1000.bin", 4000, false,
                    ERROR_INVALID_DATA},
        HostileCase{"ShorterThanThe150Count", "nosize+count-4000.bin", 1000, false, 0},
        HostileCase{"NoSizeEndedByTheServer", "nosize.bin", 4000, true, 0},
        HostileCase{"NoSizeConfirmedWith250", "nosize+reply-250.bin", 4000, true, 0},
        HostileCase{"EveryByteThenA426", "reply-426.bin", 4000, false, 0},
        HostileCase{"EveryByteThenA451", "reply-451.bin", 4000, false, 0},
        HostileCase{"NoSizeAndDropped", "nosize+drop-after-1000.bin", 4000, false, 0},
        // Cut off at every try, each over a new login asking for the rest: each try moves the
        // file on, so none uses up one of the three.
        HostileCase{"Dropped", "drop-after-20000.bin", 290000, true, 0, 1000, 290000, 15},
        // The data connection alone closed early, the control connection saying so or not.
        HostileCase{"CutWith426", "cut-after-100000.bin", 250000, true, 0},
        HostileCase{"CutWith451", "cut-after-20000+once+reply-451.bin", 300000, true, 0, 1000,
                    300000, 2},
        HostileCase{"CutWithoutAReply", "cut-after-20000+once+noreply.bin", 300000, true, 0, 1000,
                    300000, 2},
        // A file that changed after the cut (same size, later time), or whose time the server
        // cannot tell, is fetched from its first byte again.
        // (The bytes of the transfer given up at its start may reach the server's count or not.)
        HostileCase{"ChangedBetweenTries", "drop-after-20000+once+changes.bin", 300000, true, 0,
                    1000, -1, 3, true},
        HostileCase{"NoTimeToCompare", "drop-after-20000+once+nomdtm.bin", 300000, true, 0, 1000,
                    320000, 2},
        // A server that ignores REST (sends the whole file after a 350, or counts it whole in
        // its 150 reply) is found out: the file starts over without REST.
        HostileCase{"RestIgnored", "drop-after-20000+once+ignorerest.bin", 300000, true, 0},
        HostileCase{"RestIgnoredCountedWhole", "drop-after-20000+once+ignorerest+fullcount.bin",
                    300000, true, 0},
        // Busy at the REST (421): a new login asks for the rest again, never the whole file.
        HostileCase{"BusyAtTheRest", "drop-after-20000+once+restbusy-1.bin", 300000, true, 0, 1000,
                    300000, 3},
        // Cut off once: the next try goes on where it stopped, the same bytes never sent twice.
        HostileCase{"DroppedOnce", "drop-after-20000+once.bin", 300000, true, 0, 1000, 300000},
        // Without a size, nothing would tell the rest from the whole: it starts over.
        HostileCase{"DroppedOnceWithoutASize", "nosize+drop-after-2000+once.bin", 4000, true, 0,
                    1000, 6000},
        // A server that cannot go on there sends the whole file again.
        HostileCase{"DroppedOnceAndNoRest", "drop-after-20000+once+norest.bin", 300000, true, 0,
                    1000, 320000},
        // Busy for a moment (421 to the RETR): tried again over a new login, three times at most.
        HostileCase{"BusyTwice", "busy-2.bin", 4000, true, 0, 1000, 4000},
        HostileCase{"BusyThrice", "busy-3.bin", 4000, false, 0, 1000, 0},
        HostileCase{"Stalled", "stall-after-20000.bin", 300000, false, ERROR_INTERNET_TIMEOUT},
        HostileCase{"StalledAfterThe150", "stall-after-0.bin", 4000, false, ERROR_INTERNET_TIMEOUT},
        HostileCase{"Dripping", "drip-20.bin", 3000, false, ERROR_INTERNET_TIMEOUT},
        // Below 1 KiB/s on average over the window: a trickle that would meet a floor of one
        // KiB a window is still a stall.
        HostileCase{"DrippingJustUnderTheFloor", "drip-2.bin", 6000, false, ERROR_INTERNET_TIMEOUT,
                    3000},
        // More than any file may hold is refused before a byte is written.
        HostileCase{"AnnouncedAboveTheBound", "size-2000000000.bin", 4000, false,
                    ERROR_FILE_TOO_LARGE}),
    [](const auto& info) { return std::string(info.param.name); });

// Bytes fetched into memory come with the SHA-256 of exactly those bytes, also when their
// transfer went on where it was cut off, or started over.
TEST(FtpConnection, FetchedBytesComeWithTheirDigest) {
    FtpServer server;
    START_SERVER(server);
    if (!server.NamedFaults()) GTEST_SKIP() << "the server was not started with --named-faults";
    CInternetSession session;
    auto connection = Connect(session, server);
    const std::string payload = Payload(300000);
    // Names of their own: the server that the Windows tests share counts a name's faults once.
    for (const std::string name : {"whole.fetched.bin", "drop-after-20000+once.fetched.bin",
                                   "drop-after-20000+once+norest.fetched.bin"}) {
        SCOPED_TRACE(name);
        server.Put("Update/" + name, payload);
        const auto fetched = connection->FetchBytes(("Update/" + name).c_str(), 1000000);
        ASSERT_TRUE(fetched) << "error " << GetLastError();
        EXPECT_EQ(fetched->bytes, payload);
        EXPECT_EQ(fetched->sha256, net::Sha256::Of(payload));
    }
}

// A check of the content as a signed release makes it: the size and SHA-256 of a record.
class RecordCheck final : public net::IReceiveCheck {
  public:
    explicit RecordCheck(const std::string& record)
        : m_size(record.size()), m_digest(*net::Sha256::Of(record)) {}
    bool Take(const void* data, std::size_t size) override {
        m_bytes += size;
        m_hash.Update(data, size);
        return m_bytes <= m_size;
    }
    bool Accept(ULONGLONG total) override {
        const auto digest = m_hash.Finish();
        return total == m_size && digest && *digest == m_digest;
    }
    bool Restart() override {
        m_hash = net::Sha256();
        m_bytes = 0;
        return true;
    }
    ULONGLONG Expected() const override { return m_size; }

  private:
    ULONGLONG m_size;
    net::Sha256Digest m_digest;
    net::Sha256 m_hash;
    ULONGLONG m_bytes = 0;
};

// A file changed behind a cut with neither its size nor its time (the server's word cannot tell):
// the pieces its tries brought fail the record, and the file is fetched once more from its first
// byte within the same tries.
TEST(FtpConnection, APiecedFileItsRecordRefusesIsFetchedOnceMoreWhole) {
    FtpServer server;
    START_SERVER(server);
    if (!server.NamedFaults()) GTEST_SKIP() << "the server was not started with --named-faults";
    const std::string remote = "Update/drop-after-20000+once+changes.signed.bin";
    server.Put(remote, Payload(300000));
    PutChangedCopy(server, remote, 300000, false);
    TempDir local;
    CInternetSession session;
    SetTimeouts(session, 1000);
    auto connection = Connect(session, server);
    RecordCheck check(Changed(300000));
    ASSERT_TRUE(connection->DownloadFile(remote.c_str(), local.str().c_str(), "s.bin", false,
                                         FILE_ATTRIBUTE_NORMAL, FTP_TRANSFER_TYPE_BINARY, 1,
                                         &check))
        << "error " << GetLastError();
    EXPECT_EQ(ReadFile(local.path() / "s.bin"), Changed(300000));
    EXPECT_EQ(server.BytesSent(remote), 20000u + 280000u + 300000u);
}

// A server that ends the control connection after a file (an idle or a session limit) fails
// no file: the next one is asked for over a new login.
TEST(FtpConnection, AConnectionTheServerEndedBetweenFilesIsLoggedInAgain) {
    FtpServer server;
    START_SERVER(server);
    if (!server.NamedFaults()) GTEST_SKIP() << "the server was not started with --named-faults";
    server.Put("Update/hangup.bin", Payload(3000));
    server.Put("Update/next.bin", "next");
    TempDir local;
    CInternetSession session;
    SetTimeouts(session, 5000);
    auto connection = Connect(session, server);
    ASSERT_TRUE(Download(*connection, "Update/hangup.bin", local.path() / "h.bin"));
    EXPECT_TRUE(Download(*connection, "Update/next.bin", local.path() / "n.bin"))
        << "error " << GetLastError();
    EXPECT_EQ(ReadFile(local.path() / "n.bin"), "next");
}

// A file whose size nobody announced lands up to its bound and fails a byte beyond it; an
// endless stream stops there.
TEST(FtpConnection, AnUnannouncedFileStopsAtItsBound) {
    FtpServer server;
    START_SERVER(server);
    if (!server.NamedFaults()) GTEST_SKIP() << "the server was not started with --named-faults";
    constexpr size_t kBound = 1 << 20;
    net::ReceiveLimits limits;
    limits.maxBytes = kBound;
    const struct {
        const char* remote;
        size_t size;
        bool lands;
    } cases[] = {
        {"Update/nosize+exact.bin", kBound, true},
        {"Update/nosize+over.bin", kBound + 1, false},
        {"Update/endless.bin", 0, false},
    };
    TempDir local;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.remote);
        server.Put(c.remote, Payload(c.size));
        // A connection each: one whose transfer was given up is not used again.
        CInternetSession session;
        auto connection = Connect(session, server);
        const std::unique_ptr<Landing> landing =
            Landing::Begin(local.str().c_str(), "e.bin", FILE_ATTRIBUTE_NORMAL, false);
        ASSERT_TRUE(landing);
        EXPECT_EQ(net::ReceiveFile(connection->m_handle, c.remote, FTP_TRANSFER_TYPE_BINARY, 1,
                                   limits, *landing, nullptr),
                  c.lands);
        if (c.lands) {
            EXPECT_EQ(ReadFile(local.path() / "e.bin"), Payload(c.size));
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
        }
    }
}

// A target that fits in MAX_PATH lands, however much longer its temporary name is than its own.
TEST(FtpConnection, ATargetAtThePathLimitLands) {
    FtpServer server;
    START_SERVER(server);
    server.Put("Update/x", "fits");
    TempDir local;
    // Directories up to 257 characters, then a separator and a name of one.
    fs::path directory = local.path();
    while (directory.string().size() < 257) {
        const size_t room = 257 - directory.string().size() - 1;
        directory /= std::string(std::min<size_t>(room, 200), 'd');
        fs::create_directory(directory);
    }
    ASSERT_EQ((directory / "x").string().size(), 259u);
    CInternetSession session;
    auto connection = Connect(session, server);
    ASSERT_TRUE(Download(*connection, "Update/x", directory / "x")) << GetLastError();
    EXPECT_EQ(ReadFile(directory / "x"), "fits");
}

TEST(FtpConnection, NamesThatLookLikeUrlSyntaxReachTheServerLiterally) {
    // Names a Windows file system can hold too, since the Windows build writes them.
    const std::vector<std::string> names = {"a;type=a", "x#y", "%2e%2e", "a b", "100%", "r&s=1"};
    FtpServer server;
    START_SERVER(server);
    for (size_t i = 0; i < names.size(); ++i) server.Put("Update/" + names[i], Payload(1000 + i));
    // What "x#y" cut short at the "#" would fetch instead.
    server.Put("Update/x", "wrong file");
    TempDir local;
    CInternetSession session;
    auto connection = Connect(session, server);

    std::vector<std::string> expected;
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        const fs::path target = local.path() / ("out" + std::to_string(i) + ".bin");
        EXPECT_TRUE(Download(*connection, "Update/" + names[i], target));
        EXPECT_EQ(ReadFile(target), Payload(1000 + i));
        expected.push_back("Update/" + names[i]);
    }
    EXPECT_EQ(server.Commands("RETR"), expected);
    EXPECT_FALSE(server.Saw("TYPE A"));
}
