// The release command: makes SERVER_ROOT/Update ready to serve a release, signed.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace publish {

struct ReleaseOptions {
    std::filesystem::path from;  // the release's files, subdirectories included
    std::filesystem::path to;    // SERVER_ROOT
    std::string product;
    std::string version;        // the number and then the letter: "2B"
    std::filesystem::path key;  // the private key's PEM file
    int expiresDays = 90;
    std::optional<std::string> date;  // YYYY-MM-DD for new and changed files; today if none
};

// Publishes; returns the exit status (refusals and failures stop by exception instead).
int Release(const ReleaseOptions& options);

}  // namespace publish
