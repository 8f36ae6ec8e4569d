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
    bool newKey = false;              // the previous publication may be signed with another key
    bool newProduct = false;          // the previous publication may be of another product
    bool prune = false;           // removes the files below Update/ that the release does not list
    bool allow8bitNames = false;  // names may hold bytes outside printable ASCII
};

// Publishes; returns the exit status (refusals and failures stop by exception instead).
int Release(const ReleaseOptions& options);

struct RefreshOptions {
    std::filesystem::path to;   // SERVER_ROOT
    std::filesystem::path key;  // the private key's PEM file
    int expiresDays = 90;
};

// Signs the publication in SERVER_ROOT again, with a higher serial and a new expiry; its files
// and lists stay as they are. Returns the exit status.
int Refresh(const RefreshOptions& options);

}  // namespace publish
