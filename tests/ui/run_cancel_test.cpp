// A run of the real engine stopped by Cancel while a file stalls on a local FTP server, over one
// connection and over four: the run ends long before the stall would end it, the old copy stays
// whole, nothing is left beside it and no further file lands.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>

#include "app/updater_app.h"
#include "frontends/recording/recording_frontend.h"
#include "kestrin_config.h"
#include "net/update_server.h"
#include "support/ftp_server.h"
#include "support/test_env.h"
#include "ui/res/resource.h"
#include "ui/update_dialog.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The stall lasts the floor rate's window, 30 s; a cancelled run ends within a few seconds.
constexpr auto kStoppedWithin = std::chrono::seconds(10);

TEST(RunCancel, CancelDuringAStalledTransferStopsTheRun) {
    if (!KESTRIN_SERVER_FROM_ENV) GTEST_SKIP() << "the build does not take the server from env";
    FtpServerOptions options;
    options.stallAfter = 64 * 1024;
    options.faultFile = "big.bin";
    FtpServer server(options);
    if (server.Unavailable()) GTEST_SKIP() << server.Error();
    ASSERT_TRUE(server.Running()) << server.Error();
    server.Put("Update/Version.txt", "Tamwix\r\n1\r\nA\r\n");
    server.Put("Update/File_list.txt", "big.bin\r\n2099-01-01\r\nafter.bin\r\n2099-01-01\r\n");
    server.Put("Update/big.bin", std::string(1 << 20, 'n'));
    server.Put("Update/after.bin", "after");
    const std::string port = std::to_string(server.Port());
    ScopedEnv host("KESTRIN_UPDATE_HOST", "127.0.0.1");
    ScopedEnv portEnv("KESTRIN_UPDATE_PORT", port.c_str());

    for (const char* connections : {"1", "4"}) {
        SCOPED_TRACE(std::string("connections: ") + connections);
        ScopedEnv several("KESTRIN_TRANSFER_CONNECTIONS", connections);
        TempDir home;
        ScopedEnv xdg("XDG_CONFIG_HOME", home.str().c_str());
        ScopedEnv cache("XDG_CACHE_HOME", home.str().c_str());
        TempDir product;
        WriteFile(product.path() / "big.bin", "old copy");
        ScopedRecordingFrontEnd ui;
        CUpdaterApp app;
        app.m_appName = "kestrin";
        CUpdateDialog dialog;
        app.m_pMainWnd = &dialog;
        dialog.m_strCmdLine = "kestrin";
        dialog.m_run.productDirectory = (product.path() / "").string();
        dialog.m_run.settings = &app;
        dialog.m_run.transferConnections = CompiledTransferConnections();

        Clock::time_point cancelled{};
        ui.frontEnd.script.push_back([](RecordingWindow& w) { w.Click(IDC_UPDATE); });
        int stalled = 0;
        ui.frontEnd.onPump = [&](RecordingWindow& w, int) {
            if (w.GetItemText(IDC_STATUS) == "Updating...big.bin" && ++stalled == 20) {
                cancelled = Clock::now();
                w.Click(IDCANCEL);
            }
        };
        EXPECT_EQ(dialog.RunModal(), IDCANCEL);
        ASSERT_NE(cancelled, Clock::time_point{}) << "the run never waited on big.bin";
        EXPECT_LT(Clock::now() - cancelled, kStoppedWithin);

        std::vector<std::string> left;
        for (const fs::directory_entry& entry : fs::directory_iterator(product.path())) {
            left.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(left, std::vector<std::string>{"big.bin"});
        EXPECT_EQ(ReadFile(product.path() / "big.bin"), "old copy");
        const std::vector<CString> texts = ui.frontEnd.Lines("text 1001: ");
        EXPECT_EQ(std::count(texts.begin(), texts.end(), "text 1001: Completed- Press Cancel"), 0);
        EXPECT_EQ(std::count(texts.begin(), texts.end(), "text 1001: Updating...after.bin"), 0);
        EXPECT_TRUE(ui.frontEnd.Messages().empty());
    }
}

}  // namespace
