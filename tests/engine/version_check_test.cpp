#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/rules.h"
#include "engine/run_context.h"
#include "fake_run.h"
#include "kestrin_config.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const char* const kStatus = "status: Checking version";

// The early stops: a server that holds no file fails every transfer.
TEST(CheckVersion, StopsEarlyWithTheMessagesOfAnInteractiveCheck) {
    TempDir temp;
    DirectoryServer empty;
    const struct {
        const char* what;
        bool connected;
        bool tempDirectory;
        bool interactive;
        Lines log;
    } cases[] = {
        {"no connection", false, true, true, {kStatus}},
        {"no connection, silent", false, true, false, {kStatus}},
        {"no temporary directory",
         true,
         false,
         true,
         {kStatus, "message: Could not locate your window temp file"}},
        {"no temporary directory, silent", true, false, false, {kStatus}},
        {"transfer fails",
         true,
         true,
         true,
         {kStatus, "message: An error occured on the server.\nPlease try again latter."}},
        {"transfer fails, silent", true, true, false, {kStatus}},
    };
    for (const auto& c : cases) {
        FakeRun host;
        host.connection = c.connected ? &empty : nullptr;
        host.tempPath = c.tempDirectory ? temp.str() : "";
        engine::CheckVersion(host, c.interactive);
        EXPECT_EQ(host.log, c.log) << c.what;
    }
}

std::string Newer(const std::string& installed, const std::string& server,
                  const std::string& home) {
    return "message: You are currently version " + installed + ",\na new version, " + server +
           ", is available.\nPlease go to " + home + " for the latest version.";
}

const char* const kCurrent = "message: You are currently using the lattest version";

// Each outcome against the server's version file, told or not as the check is interactive.
TEST(CheckVersion, ComparesTheServersReleaseWithTheInstalledOne) {
    DirectoryServer server;
    TempDir temp;
    using Settings = std::map<std::string, std::string>;
    const Settings fiveA{
        {"Update/VersionA", "5"}, {"Update/VersionB", "A"}, {"Web/Home", "http://home.example/"}};
    const struct {
        const char* what;
        std::optional<std::string> versionFile;  // none: missing on the server
        Settings settings;
        // Shown whether interactive or not; without it an interactive check tells that the
        // release is current, or that the transfer failed.
        std::optional<std::string> message;
    } cases[] = {
        {"current", "Tamwix\n5\nA\n", fiveA, std::nullopt},
        {"newer letter", "Tamwix\n5\nB\n", fiveA, Newer("5A", "5B", "http://home.example/")},
        {"newer number",
         "Tamwix\r\n6\r\nA\r\n",
         {{"Update/VersionA", "5"}, {"Update/VersionB", "B"}},
         Newer("5B", "6A", KESTRIN_HOME_URL)},
        {"older number, later letter",
         "Tamwix\n5\nC\n",
         {{"Update/VersionA", "6"}, {"Update/VersionB", "B"}},
         std::nullopt},
        {"no settings stored", "Tamwix\n2\nA", {}, Newer("1A", "2A", KESTRIN_HOME_URL)},
        {"empty version file", "", {}, std::nullopt},
        {"values as read",
         "x\n 12\nB \n",
         {{"Update/VersionA", "12"}},
         Newer("12A", " 12B ", KESTRIN_HOME_URL)},
        {"missing on the server", std::nullopt, fiveA, std::nullopt},
        // Received only up to its bound: what a server sends beyond it is never read.
        {"larger than a version file may be",
         "Tamwix\n9\nZ\n" + std::string(engine::kMaxVersionFileBytes, ' '), fiveA, std::nullopt},
    };
    for (const auto& c : cases) {
        for (bool interactive : {false, true}) {
            const auto local = temp.path() / "Version.txt";
            fs::remove(server.root.path() / "Update" / "Version.txt");
            if (c.versionFile) server.Put("Update/Version.txt", *c.versionFile);
            FakeRun host;
            host.connection = &server;
            host.tempPath = temp.str();
            host.settings = c.settings;
            engine::CheckVersion(host, interactive);

            Lines expected{kStatus};
            if (c.message) {
                expected.push_back(*c.message);
            } else if (interactive) {
                const bool received =
                    c.versionFile && c.versionFile->size() <= engine::kMaxVersionFileBytes;
                expected.push_back(received ? kCurrent
                                            : "message: An error occured on the server.\n"
                                              "Please try again latter.");
            }
            EXPECT_EQ(host.log, expected) << c.what << (interactive ? ", interactive" : "");
            // The copy is gone after a completed check, and none is left by a failed one.
            EXPECT_FALSE(fs::exists(local)) << c.what;
        }
    }
    // Every check asked for the one file.
    for (const std::string& path : server.requests) EXPECT_EQ(path, "Update/Version.txt");
}

}  // namespace
