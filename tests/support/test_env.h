// Small helpers for tests: a temporary directory removed afterwards, an environment variable
// set for the life of an object, files, and the display of the xvfb test fixture.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

class ScopedEnv {
  public:
    // value null: the variable is removed.
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

void WriteFile(const std::filesystem::path& path, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& path);
// Gives the file or directory at path to another user (uid and gid 65534), as only root can;
// false where that cannot be done (not root, or Windows).
bool GiveToAnotherUser(const std::filesystem::path& path);

// The display that tests/support/xvfb.sh started, named in the state directory that
// KESTRIN_XVFB_STATE names; empty when there is none.
std::string FixtureDisplay();
