#include "engine/server_release.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "fake_run.h"

namespace {

// A serial is stored only when it is higher than the one there, which another run at the same
// time may have stored meanwhile; what is no plain serial is never replaced, and a serial that
// cannot be stored is not recorded.
TEST(RecordAcceptedSerial, NeverLowersTheStoredSerial) {
    struct WriteProtected : FakeRun {
        bool WriteSetting(const char*, const char*, const CString&) override { return false; }
    };
    const struct {
        std::optional<std::string> stored;
        bool writable;
        std::string after;
        bool recorded;
    } cases[] = {
        {std::nullopt, true, "10", true}, {"7", true, "10", true},
        {"10", true, "10", true},         {"12", true, "12", true},
        {"x12", true, "x12", false},      {" 300", true, " 300", false},
        {"300x", true, "300x", false},    {"", true, "", false},
        {"010", true, "010", false},      {"7", false, "7", false},
        {"12", false, "12", true},
    };
    for (const auto& c : cases) {
        FakeRun writable;
        WriteProtected protectedRun;
        FakeRun& host = c.writable ? writable : protectedRun;
        if (c.stored) host.settings["Update/ManifestSerial"] = *c.stored;
        EXPECT_EQ(engine::RecordAcceptedSerial(host, 10), c.recorded) << c.stored.value_or("none");
        EXPECT_EQ(host.settings["Update/ManifestSerial"], c.after) << c.stored.value_or("none");
    }
}

}  // namespace
