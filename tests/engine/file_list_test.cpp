#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/rules.h"
#include "engine/run_context.h"
#include "fake_run.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// The early stops leave the bar untouched and the product directory unmade. Once connected,
// each says that the server failed, so that no run ends without a word; the list's copy in the
// temporary directory is gone afterwards.
TEST(UpdateFiles, StopsEarly) {
    TempDir temp;
    TempDir install;
    const std::string serverError =
        "message: An error occured on the server.\nPlease try again latter.";
    const struct {
        const char* what;
        bool connected;
        bool tempDirectory;
        std::optional<std::string> list;
        Lines log;
    } cases[] = {
        {"no connection", false, true, "", {"status: Checking file list"}},
        {"no temporary directory", true, false, "", {"status: Checking file list", serverError}},
        {"list cannot be fetched",
         true,
         true,
         std::nullopt,
         {"status: Checking file list", serverError}},
        {"list larger than any list may be",
         true,
         true,
         std::string(engine::kMaxListBytes + 1, '\n'),
         {"status: Checking file list", serverError}},
    };
    for (const auto& c : cases) {
        DirectoryServer server;
        if (c.list) server.Put("Update/File_list.txt", *c.list);
        FakeRun host;
        host.connection = c.connected ? &server : nullptr;
        host.tempPath = c.tempDirectory ? temp.str() : "";
        host.installDirectory = install.str() + "\\";
        engine::UpdateFiles(host);
        EXPECT_EQ(host.log, c.log) << c.what;
        EXPECT_FALSE(fs::exists(install.path() / "Pelmora")) << c.what;
        EXPECT_TRUE(fs::is_empty(temp.path())) << c.what;
    }
}

// The local date daysFromToday days from now, written YYYY-MM-DD.
std::string LocalDate(int daysFromToday) {
    const std::time_t now = std::time(nullptr);
    std::tm date = *std::localtime(&now);
    date.tm_mday += daysFromToday;
    date.tm_hour = 12;
    date.tm_isdst = -1;
    std::mktime(&date);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.tm_year + 1900, date.tm_mon + 1,
                  date.tm_mday);
    return text;
}

// A server and an install directory for one synchronisation or more.
class UpdateFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        install_ = std::make_unique<TempDir>();
        product_ = install_->path() / "Tamwix" / "Pelmora";
        fs::create_directories(install_->path() / "Tamwix");
    }

    // One run; the log of what the user saw.
    Lines Run(const std::string& installDirectory, FakeRun&& host = FakeRun()) {
        host.connection = &server_;
        server_.events = &host.log;
        host.tempPath = temp_.str();
        host.installDirectory = installDirectory;
        engine::UpdateFiles(host);
        return host.log;
    }
    Lines Run(FakeRun&& host = FakeRun()) {
        return Run((install_->path() / "Tamwix").string() + "\\", std::move(host));
    }

    DirectoryServer server_;
    TempDir temp_;
    std::unique_ptr<TempDir> install_;
    fs::path product_;
};

TEST_F(UpdateFilesTest, BringsTheProductDirectoryUpToDate) {
    const std::string past = LocalDate(-1);
    const std::string future = LocalDate(2);
    server_.Put("Update/File_list.txt", "new.dll\n" + past + "\nold.dll\n" + future +
                                            "\ngone.dll\n" + past + "\n..\\evil.dll\n" + past +
                                            "\nsub/deep/c.dll\n" + past + "\n \ta.dll \r\n\t" +
                                            past + " \r\n");
    for (const char* name : {"new.dll", "old.dll", "sub/deep/c.dll", "a.dll"}) {
        server_.Put(std::string("Update/") + name, std::string("server ") + name);
    }
    server_.Put("evil.dll", "outside");
    fs::create_directories(product_);
    WriteFile(product_ / "new.dll", "local new");  // created now: after yesterday's midnight
    WriteFile(product_ / "old.dll", "local old");  // created before the day after tomorrow

    EXPECT_EQ(Run(), (Lines{
                         "status: Checking file list",
                         "pos: 0",
                         "status: Unchanged...new.dll",
                         "pos: 0",
                         "status: Updating...old.dll",
                         "status: Updated...old.dll",
                         "pos: 20",
                         "status: Updating...gone.dll",
                         "status: Failed...gone.dll",
                         "pos: 40",
                         "status: Updating.....\\evil.dll",
                         "status: Failed.....\\evil.dll",
                         "pos: 60",
                         "status: Updating...sub/deep/c.dll",
                         "status: Updated...sub/deep/c.dll",
                         "pos: 80",
                         "status: Updating...a.dll",
                         "status: Updated...a.dll",
                         "pos: 100",
                         "settle",
                         "status: Completed- Press Cancel",
                         "pos: 0",
                     }));
    EXPECT_EQ(ReadFile(product_ / "new.dll"), "local new");
    EXPECT_EQ(ReadFile(product_ / "old.dll"), "server old.dll");
    EXPECT_EQ(ReadFile(product_ / "sub" / "deep" / "c.dll"), "server sub/deep/c.dll");
    EXPECT_EQ(ReadFile(product_ / "a.dll"), "server a.dll");
    EXPECT_FALSE(fs::exists(product_ / "gone.dll"));
    EXPECT_FALSE(fs::exists(product_.parent_path() / "evil.dll"));
    // The missing file was asked for, the refused name never was.
    EXPECT_EQ(server_.requests, (Lines{"Update/File_list.txt", "Update/old.dll", "Update/gone.dll",
                                       "Update/sub/deep/c.dll", "Update/a.dll"}));
    // The list's copy was this run's own, and is gone.
    EXPECT_TRUE(fs::is_empty(temp_.path()));
}

// What was fetched counts as current on the next run.
TEST_F(UpdateFilesTest, ASecondRunFindsEverythingUnchanged) {
    const std::string today = LocalDate(0);
    server_.Put("Update/File_list.txt", "one.dll\n" + today + "\nsub/two.dll\n" + today + "\n");
    server_.Put("Update/one.dll", "1");
    server_.Put("Update/sub/two.dll", "2");
    Lines first = Run();
    ASSERT_EQ(first.size(), 11u);
    EXPECT_EQ(first[3], "status: Updated...one.dll");
    EXPECT_EQ(first[6], "status: Updated...sub/two.dll");
    EXPECT_EQ(Run(), (Lines{"status: Checking file list", "pos: 0", "status: Unchanged...one.dll",
                            "pos: 0", "status: Unchanged...sub/two.dll", "pos: 100", "settle",
                            "status: Completed- Press Cancel", "pos: 0"}));
}

// Names written with backslashes, as the list writes subdirectories: the server is asked with
// slashes between the components, and the missing local directories are made.
TEST_F(UpdateFilesTest, FetchesIntoSubdirectoriesThatDoNotExistYet) {
    server_.Put("Update/File_list.txt",
                "lib\\x86\\b.dll\n2001-01-01\ngr\xC3\xBCn\\a b/c.txt\n2001-01-01\n");
    server_.Put("Update/lib/x86/b.dll", "b");
    server_.Put("Update/gr\xC3\xBCn/a b/c.txt", "c");
    EXPECT_EQ(Run(),
              (Lines{"status: Checking file list", "pos: 0", "status: Updating...lib\\x86\\b.dll",
                     "status: Updated...lib\\x86\\b.dll", "pos: 0",
                     "status: Updating...gr\xC3\xBCn\\a b/c.txt",
                     "status: Updated...gr\xC3\xBCn\\a b/c.txt", "pos: 100", "settle",
                     "status: Completed- Press Cancel", "pos: 0"}));
    EXPECT_EQ(server_.requests, (Lines{"Update/File_list.txt", "Update/lib/x86/b.dll",
                                       "Update/gr\xC3\xBCn/a b/c.txt"}));
    EXPECT_EQ(ReadFile(product_ / "lib" / "x86" / "b.dll"), "b");
    EXPECT_EQ(ReadFile(product_ / "gr\xC3\xBCn" / "a b" / "c.txt"), "c");
}

TEST_F(UpdateFilesTest, ShortListsAndAMissingInstallDirectory) {
    // An empty list still makes the product directory.
    server_.Put("Update/File_list.txt", "");
    EXPECT_EQ(Run(), (Lines{"status: Checking file list", "pos: 0", "settle",
                            "status: Completed- Press Cancel", "pos: 0"}));
    EXPECT_TRUE(fs::is_directory(product_));

    // One entry without a date line: fetched, as it is missing; the bar stays at 0.
    server_.Put("Update/File_list.txt", "only.dll");
    server_.Put("Update/only.dll", "x");
    EXPECT_EQ(Run(), (Lines{"status: Checking file list", "pos: 0", "status: Updating...only.dll",
                            "status: Updated...only.dll", "pos: 0", "settle",
                            "status: Completed- Press Cancel", "pos: 0"}));

    // Only the last level is made: under a missing install directory every fetch fails, and
    // says so.
    const fs::path missing = install_->path() / "Nowhere";
    EXPECT_EQ(Run(missing.string() + "\\"),
              (Lines{"status: Checking file list", "pos: 0", "status: Updating...only.dll",
                     "status: Failed...only.dll", "pos: 0", "settle",
                     "status: Completed- Press Cancel", "pos: 0"}));
    EXPECT_FALSE(fs::exists(missing));
}

// The run lingers over its first entry, so that the look-ahead at the local copies has answered
// for every entry to come: a file missing in the middle of a long list of current files is
// fetched, and found current where the list names it again, though it was missing when the
// look-ahead looked.
TEST_F(UpdateFilesTest, AFileFetchedIsFoundCurrentWhereItIsListedAgain) {
    struct LingeringRun : FakeRun {
        void SetStatus(CString status) override {
            FakeRun::SetStatus(status);
            if (log.size() == 3) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    };
    fs::create_directories(product_);
    std::string list;
    for (int i = 0; i < 2000; ++i) {
        const std::string name = "f" + std::to_string(i);
        WriteFile(product_ / name, name);
        list += name + "\n2001-01-01\n";
        if (i == 1000) list += "twice.dll\n2001-01-01\n";
    }
    server_.Put("Update/File_list.txt", list + "twice.dll\n2001-01-01\n");
    server_.Put("Update/twice.dll", "server");

    const Lines log = Run(LingeringRun());
    const auto count = [&log](const std::string& line) {
        return std::count(log.begin(), log.end(), "status: " + line);
    };
    EXPECT_EQ(count("Updated...twice.dll"), 1);
    EXPECT_EQ(count("Unchanged...twice.dll"), 1);
    EXPECT_EQ(count("Unchanged...f1999"), 1);
    EXPECT_EQ(std::count_if(
                  log.begin(), log.end(),
                  [](const std::string& line) { return line.find("...f") != std::string::npos; }),
              2000);
    EXPECT_EQ(server_.requests, (Lines{"Update/File_list.txt", "Update/twice.dll"}));
}

// A server whose further connections receive ahead of their turn. Every file lands into
// `landed`, in the order of the renames; the first fetched file comes slowly, so that files
// received after it would land first were they not held to their turns.
class AheadServer : public DirectoryServer {
  public:
    struct Shared {
        std::mutex mutex;
        Lines landed;
        bool furtherOpen = true;  // further connections may log in
        std::string failing;      // a file further connections fail (cut off)
        std::string slow;
        std::chrono::milliseconds each{0};  // what every file takes
        int ownFetches = 0;                 // files the run's own connection received
    };
    explicit AheadServer(Shared& shared, const DirectoryServer* from = nullptr) : m_shared(shared) {
        origin = from;
    }

    bool DownloadFile(const char* remotePath, const char* directory, const char* name,
                      bool failIfExists, DWORD attributes, DWORD flags, DWORD_PTR context,
                      net::IReceiveCheck* check, ULONGLONG maxBytes) override {
        const bool further = origin != nullptr;
        if (further && (!m_shared.furtherOpen || name == m_shared.failing)) {
            SetLastError(ERROR_INTERNET_CONNECTION_ABORTED);
            return false;
        }
        if (name == m_shared.slow) std::this_thread::sleep_for(std::chrono::milliseconds(60));
        std::this_thread::sleep_for(m_shared.each);
        if (!DirectoryServer::DownloadFile(remotePath, directory, name, failIfExists, attributes,
                                           flags, context, check, maxBytes)) {
            return false;
        }
        const std::lock_guard<std::mutex> lock(m_shared.mutex);
        m_shared.landed.push_back(name);
        if (!further) ++m_shared.ownFetches;
        return true;
    }
    std::unique_ptr<IRemoteFiles> Further() override {
        return std::make_unique<AheadServer>(m_shared, origin != nullptr ? origin : this);
    }
    bool Open() override { return origin == nullptr || m_shared.furtherOpen; }

  private:
    Shared& m_shared;
};

// With further connections, a run shows what it shows with one, and its files land in the
// list's order; a further connection that cannot log in or fails a file costs no file.
TEST(UpdateFiles, FurtherConnectionsChangeNothingTheUserSees) {
    const std::string past = LocalDate(-1);
    const struct {
        const char* what;
        Lines names;
        bool furtherOpen;
        std::string failing;
    } cases[] = {
        {"received ahead", {"a", "b", "sub\\c", "d", "e", "f"}, true, ""},
        {"further connections refused", {"a", "b", "c", "d"}, false, ""},
        {"a file a further connection fails", {"a", "b", "c", "d", "e"}, true, "c"},
        // Listed again once fetched, a file is found current.
        {"a name listed twice", {"a", "b", "a", "B", "c"}, true, ""},
        // Found as the directory the file before made, not before that file has landed.
        {"a directory listed after a file in it", {"sub\\x.bin", "sub", "c", "d"}, true, ""},
    };
    for (const auto& c : cases) {
        std::string list;
        for (const std::string& name : c.names) list += name + "\n" + past + "\n";
        const auto run = [&](unsigned connections, Lines& landed) {
            AheadServer::Shared shared;
            shared.furtherOpen = c.furtherOpen;
            shared.failing = c.failing;
            shared.slow = c.names.front();
            AheadServer server(shared);
            server.Put("Update/File_list.txt", list);
            for (const std::string& name : c.names) {
                std::string path = name;
                std::replace(path.begin(), path.end(), '\\', '/');
                // A name that is the directory of one before it is no file on the server either.
                if (!fs::is_directory(server.root.path() / "Update" / path)) {
                    server.Put("Update/" + path, "server " + name);
                }
            }
            TempDir temp;
            TempDir install;
            FakeRun host;
            host.connection = &server;
            host.transferConnections = connections;
            host.tempPath = temp.str();
            host.installDirectory = install.str() + "\\";
            engine::UpdateFiles(host);
            landed = shared.landed;
            return host.log;
        };
        Lines alone;
        Lines together;
        EXPECT_EQ(run(4, together), run(1, alone)) << c.what;
        EXPECT_EQ(together, alone) << c.what;
    }
}

// The run's own connection goes on receiving beside the further ones: it does not wait for a
// further connection to bring the very file it reaches next.
TEST(UpdateFiles, EveryConnectionReceivesAtOnce) {
    const std::string past = LocalDate(-1);
    AheadServer::Shared shared;
    shared.each = std::chrono::milliseconds(30);
    AheadServer server(shared);
    std::string list;
    for (int i = 0; i < 12; ++i) {
        const std::string name = "f" + std::to_string(i);
        list += name + "\n" + past + "\n";
        server.Put("Update/" + name, "server " + name);
    }
    server.Put("Update/File_list.txt", list);
    TempDir temp;
    TempDir install;
    FakeRun host;
    host.connection = &server;
    host.transferConnections = 2;
    host.tempPath = temp.str();
    host.installDirectory = install.str() + "\\";
    engine::UpdateFiles(host);
    EXPECT_EQ(shared.landed.size(), 13u);  // the list and its files
    // The list and about half the files; a third however the threads are scheduled.
    EXPECT_GE(shared.ownFetches, 1 + 4);
}

}  // namespace
