// The upload command: brings each server (the update server and its mirrors) to serve exactly
// the publication in SERVER_ROOT, in the order that never shows a client a file cut short under
// a listed name: the listed files that differ, each under a temporary name renamed into place
// when whole; then Version.txt and File_list.txt; then Manifest.txt; Manifest.sig last. Then
// it reads each server's tree back and checks it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace publish {

struct UploadOptions {
    std::filesystem::path root;        // SERVER_ROOT
    std::vector<std::string> servers;  // --to, one a server
    std::optional<std::string> publicKey;
    std::optional<std::filesystem::path> passwordFile;
    bool tls = false;
    bool prune = false;  // removes the servers' strays once the manifest is in place
};

// Returns the exit status: 0 when every server serves the publication, 1 when one does not.
int Upload(const UploadOptions& options);

// The password that a --password-file holds (its first line); refuses a file that other users
// can read.
std::string ReadPasswordFile(const std::filesystem::path& path);

}  // namespace publish
