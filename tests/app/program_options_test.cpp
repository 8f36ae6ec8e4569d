#include "app/program_options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

#ifndef _WIN32
// The "public key" lines --version writes for the keys of keyText.
std::vector<std::string> KeyLines(std::string_view keyText) {
    const char* const argv[] = {"kestrin", "--version"};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(AnswerProgramOptions(2, argv, keyText, out, err), 0);
    std::vector<std::string> lines;
    std::istringstream text(out.str());
    for (std::string line; std::getline(text, line);) {
        if (line.starts_with("public key")) lines.push_back(line);
    }
    return lines;
}

TEST(ProgramOptions, VersionTellsEachKeysFingerprint) {
    const std::string kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    const std::string k00ff = "06eb7d6a69ee19e5fbdf749018d3d2abfa04bcbd1365db312eb86dc7169389b8";
    const std::string kPoint = "f0b9315a0459dab7ab5fa6903e733c917761154216cd90e5d979da6c852c602a";
    const std::string point = "04" + std::string(128, '1');
    const struct {
        std::string keyText;
        std::vector<std::string> fingerprints;
    } cases[] = {
        {point, {kPoint}},       {"00ff," + point, {k00ff, kPoint}},
        {"00FF", {k00ff}},       {"00ff,,00ff", {k00ff, kEmpty, k00ff}},
        {"00f", {"not a key"}},  {"00fg," + point, {"not a key", kPoint}},
        {"0 ff", {"not a key"}}, {"\x10\x10", {"not a key"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> expected;
        for (const std::string& f : c.fingerprints) expected.push_back("public key SHA-256: " + f);
        EXPECT_EQ(KeyLines(c.keyText), expected) << c.keyText;
    }
    EXPECT_EQ(KeyLines(""), std::vector<std::string>{"public key: unsigned"});
}
#endif

}  // namespace
