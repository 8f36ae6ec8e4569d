// Files of the publisher's tool: how it ends with a message, and how it reads, hashes and
// writes files. A file is written whole or not at all: under a temporary name beside its
// target, flushed to the disk, then renamed over the target.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/manifest.h"

namespace publish {

namespace fs = std::filesystem;

// Exit statuses: a refused request (bad arguments, a release the rules do not allow, a key that
// would be overwritten), and a failure on the way (a file that cannot be read or written, a
// tree that does not verify).
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;

// What ends a command: its message and exit status.
class Stop : public std::runtime_error {
  public:
    Stop(int status, const std::string& message) : std::runtime_error(message), m_status(status) {}
    int Status() const { return m_status; }

  private:
    int m_status;
};

[[noreturn]] void Refuse(const std::string& message);
[[noreturn]] void Fail(const std::string& message);

// Temporary files are named so; leftovers of an interrupted run are removed by the next one.
constexpr std::string_view kTemporaryPrefix = ".kestrin-publish-";

// Whether the last part of path is named as a temporary file of this tool.
bool IsTemporary(const fs::path& path);

// text with the ASCII upper-case letters made lower case: names as a system that folds case
// compares them.
std::string Folded(std::string text);

// The whole content of a file; nothing when there is no such file. Other failures stop.
std::optional<std::string> ReadWholeFile(const fs::path& path);

// The size and SHA-256 of a file's content, read in pieces; nothing when there is no such
// file. Other failures stop.
std::optional<engine::ManifestRecord> HashFile(const fs::path& path);

// Writes bytes to path whole or not at all, with the given mode; the directory must exist.
void WriteFileAtomically(const fs::path& path, std::string_view bytes, mode_t mode = 0644);
// Copies from to path in the same way.
void CopyFileAtomically(const fs::path& from, const fs::path& path);
// Creates path, which must not exist yet, with mode and bytes, whole or not at all; refuses
// when something is there already, even if it appeared meanwhile.
void CreateFileExclusively(const fs::path& path, std::string_view bytes, mode_t mode);

// Removes the temporary files that an interrupted run left below directory.
void RemoveLeftovers(const fs::path& directory);

// path as the user's messages show it.
std::string Shown(const fs::path& path);

}  // namespace publish
