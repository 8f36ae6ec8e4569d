#include "engine/server_release.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "fake_run.h"

namespace {

// A serial is stored only when it is higher than the one there, which another run at the same
// time may have stored meanwhile; what is no serial counts as none.
TEST(RecordAcceptedSerial, NeverLowersTheStoredSerial) {
    const struct {
        std::optional<std::string> stored;
        std::string after;
    } cases[] = {{std::nullopt, "10"}, {"7", "10"}, {"10", "10"}, {"12", "12"}, {"x12", "10"}};
    for (const auto& c : cases) {
        FakeRun host;
        if (c.stored) host.settings["Update/ManifestSerial"] = *c.stored;
        engine::RecordAcceptedSerial(host, 10);
        EXPECT_EQ(host.settings["Update/ManifestSerial"], c.after) << c.stored.value_or("none");
    }
}

}  // namespace
