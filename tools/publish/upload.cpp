#include "upload.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

#include "engine/dropped_files.h"
#include "engine/manifest.h"
#include "engine/rules.h"
#include "ftp_client.h"
#include "lists.h"
#include "tree.h"
#include "verify.h"

namespace publish {

namespace {

namespace fs = std::filesystem;

const std::string kUpdate = "Update/";

// What SERVER_ROOT publishes: the listed files, then the tree's own files in the order they go
// up, each with its size and SHA-256.
struct LocalRelease {
    fs::path update;
    std::vector<std::string> names;
    std::map<std::string, engine::ManifestRecord> records;
    std::optional<net::P256PublicKey> key;
    bool signedTree = false;  // it has a manifest
};

void CheckLocalTree(const fs::path& root, const LocalRelease& release) {
    engine::ManifestPolicy policy;
    policy.now = std::time(nullptr);
    const TreeCheck check = CheckTree(root, release.key ? &*release.key : nullptr, policy);
    RefuseUnsound(check, Shown(root) +
                             " does not verify, so nothing was uploaded: publish it again "
                             "(kestrin-publish release or refresh), then upload");
}

LocalRelease ReadRelease(const fs::path& root, const std::optional<std::string>& publicKey) {
    LocalRelease release;
    release.update = root / "Update";
    if (publicKey) release.key = PublicKeyArgument(*publicKey);
    release.signedTree = ReadWholeFile(release.update / engine::kManifestName).has_value();
    if (release.key || release.signedTree) CheckLocalTree(root, release);
    const auto listed = ReadFileList(release.update / engine::kFileListName);
    if (!listed || !ReadVersionFile(release.update / engine::kVersionFileName)) {
        Refuse(Shown(release.update) +
               " holds no Version.txt and File_list.txt: there is no publication to upload "
               "(make one with kestrin-publish release)");
    }
    for (const ListedFile& file : *listed) {
        if (!engine::IsSafeListedName(file.name, kProductDirectoryLength)) {
            Refuse("File_list.txt lists \"" + file.name + "\", a name that Kestrin refuses");
        }
        release.names.push_back(file.name);
    }
    // What releases dropped goes with the lists, which the manifest covers with it; an unsigned
    // tree has the lists alone.
    if (release.signedTree && fs::exists(release.update / engine::kDroppedListName)) {
        release.names.push_back(engine::kDroppedListName);
    }
    release.names.push_back(engine::kVersionFileName);
    release.names.push_back(engine::kFileListName);
    if (release.signedTree) {
        release.names.push_back(engine::kManifestName);
        release.names.push_back(engine::kManifestSignatureName);
    }
    for (const std::string& name : release.names) {
        const std::optional<engine::ManifestRecord> record = HashFile(release.update / name);
        if (!record) Refuse(Shown(release.update / name) + " is missing");
        release.records[name] = *record;
    }
    return release;
}

// The files that served holds beyond the release.
std::vector<std::string> Strays(const RemoteTree& served, const LocalRelease& release) {
    std::vector<std::string> strays;
    for (const auto& [name, size] : served.files) {
        if (!release.records.contains(name)) strays.push_back(name);
    }
    return strays;
}

// Removes names (files below Update/), a directory at a time.
void RemoveFiles(FtpClient& client, const std::vector<std::string>& names) {
    std::map<std::string, std::vector<std::string>> byDirectory;
    for (const std::string& name : names) {
        byDirectory[DirectoryOf(name)].push_back("DELE " + name.substr(DirectoryOf(name).size()));
    }
    for (const auto& [directory, commands] : byDirectory) {
        client.Command(kUpdate + directory, commands);
    }
}

// Removes the directories below Update/ that hold no file of the release, deepest first.
size_t RemoveEmptied(FtpClient& client, const RemoteTree& served, const LocalRelease& release) {
    std::vector<std::string> directories;
    for (const std::string& directory : served.directories) {
        const bool used = std::any_of(
            release.names.begin(), release.names.end(),
            [&directory](const std::string& name) { return name.starts_with(directory + "/"); });
        if (!used) directories.push_back(directory);
    }
    std::sort(directories.begin(), directories.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& directory : directories) {
        client.Command(kUpdate + DirectoryOf(directory),
                       {"RMD " + directory.substr(DirectoryOf(directory).size())});
    }
    return directories.size();
}

bool ServesRecord(FtpClient& client, const std::string& name,
                  const engine::ManifestRecord& record) {
    net::Sha256 hash;
    std::uint64_t size = 0;
    client.Fetch(kUpdate + name, [&](std::string_view piece) {
        hash.Update(piece);
        size += piece.size();
    });
    return record.Matches(size, hash.Finish());
}

struct Outcome {
    size_t sent = 0;
    size_t kept = 0;
    size_t removed = 0;
};

// Sends what the server does not serve yet, in the release's order; prunes when asked.
Outcome Send(FtpClient& client, const ServerAddress& address, const LocalRelease& release,
             bool prune) {
    Outcome outcome;
    RemoteTree served = client.Walk(kUpdate);
    // What a cut run left under temporary names is never part of anything.
    std::vector<std::string> leftovers;
    for (const auto& [name, size] : served.files) {
        if (IsTemporary(name)) leftovers.push_back(name);
    }
    RemoveFiles(client, leftovers);
    for (const std::string& name : leftovers) served.files.erase(name);

    for (const std::string& name : release.names) {
        const engine::ManifestRecord& record = release.records.at(name);
        const auto found = served.files.find(name);
        if (found != served.files.end() && found->second == record.size &&
            ServesRecord(client, name, record)) {
            ++outcome.kept;
            continue;
        }
        client.Store(release.update / name, kUpdate + name);
        std::printf("%s: sent Update/%s\n", address.text.c_str(), name.c_str());
        ++outcome.sent;
    }
    if (!prune) return outcome;
    const std::vector<std::string> strays = Strays(served, release);
    RemoveFiles(client, strays);
    for (const std::string& stray : strays) {
        std::printf("%s: removed Update/%s\n", address.text.c_str(), stray.c_str());
    }
    RemoveEmptied(client, served, release);
    outcome.removed = strays.size();
    return outcome;
}

// A private directory for the tree read back, removed with what it holds.
class ScratchDirectory {
  public:
    ScratchDirectory() {
        std::string pattern = (fs::temp_directory_path() / "kestrin-publish-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) Fail("cannot make a temporary directory");
        m_path = pattern;
    }
    ~ScratchDirectory() {
        std::error_code error;
        fs::remove_all(m_path, error);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const fs::path& Path() const { return m_path; }

  private:
    fs::path m_path;
};

void Download(FtpClient& client, const std::string& name, const fs::path& target) {
    std::error_code error;
    fs::create_directories(target.parent_path(), error);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(target.c_str(), "wb"),
                                                         std::fclose);
    if (error || !file) Fail("cannot write " + Shown(target));
    client.Fetch(kUpdate + name, [&](std::string_view piece) {
        if (std::fwrite(piece.data(), 1, piece.size(), file.get()) != piece.size()) {
            Fail("cannot write " + Shown(target));
        }
    });
    if (std::fclose(file.release()) != 0) Fail("cannot write " + Shown(target));
}

// Reads the server's tree back and checks it as verify does; returns the problems and, in
// strays, what it serves beyond the release.
std::vector<std::string> ReadBack(FtpClient& client, const LocalRelease& release,
                                  std::vector<std::string>& strays) {
    const RemoteTree served = client.Walk(kUpdate);
    const ScratchDirectory mirror;
    std::vector<std::string> problems;
    for (const std::string& name : release.names) {
        if (!served.files.contains(name)) {
            problems.push_back("Update/" + name + " is missing");
            continue;
        }
        const fs::path copy = mirror.Path() / "Update" / name;
        Download(client, name, copy);
        const engine::ManifestRecord& record = release.records.at(name);
        if (!HashFile(copy)
                 .value_or(engine::ManifestRecord{})
                 .Matches(record.size, record.sha256)) {
            problems.push_back("Update/" + name + " is not the file of the release");
        }
    }
    if (problems.empty() && release.signedTree) {
        engine::ManifestPolicy policy;
        policy.now = std::time(nullptr);
        const TreeCheck check =
            CheckTree(mirror.Path(), release.key ? &*release.key : nullptr, policy);
        problems.insert(problems.end(), check.problems.begin(), check.problems.end());
    }
    const std::vector<std::string> found = Strays(served, release);
    strays.insert(strays.end(), found.begin(), found.end());
    return problems;
}

// Uploads to one server and reads it back; returns the summary line's result, and whether the
// server serves the release.
bool UploadTo(const ServerAddress& address, const Connection& connection,
              const LocalRelease& release, bool prune, std::string& result) {
    try {
        FtpClient client(address, connection);
        const Outcome outcome = Send(client, address, release, prune);
        std::vector<std::string> strays;
        const std::vector<std::string> problems = ReadBack(client, release, strays);
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "%s: %s\n", address.text.c_str(), problem.c_str());
        }
        for (const std::string& stray : strays) {
            std::fprintf(stderr,
                         "warning: %s: Update/%s is served but not listed (upload --prune "
                         "removes it)\n",
                         address.text.c_str(), stray.c_str());
        }
        if (!problems.empty()) {
            result = "FAILED: what it serves does not verify (" + problems.front() + ")";
            return false;
        }
        result = "serves the release (" + std::to_string(outcome.sent) + " sent, " +
                 std::to_string(outcome.kept) + " already there, " +
                 std::to_string(outcome.removed) + " removed, " + std::to_string(strays.size()) +
                 " stray)";
        return true;
    } catch (const ServerError& error) {
        result = std::string("FAILED: ") + error.what();
        return false;
    }
}

}  // namespace

std::string ReadPasswordFile(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) Refuse("there is no password file " + Shown(path));
    if (st.st_uid != ::geteuid() || (st.st_mode & 044) != 0) {
        Refuse(Shown(path) +
               " can be read by other users than you: make it your own and chmod 600 it");
    }
    const std::string text = ReadWholeFile(path).value_or("");
    const std::string password = text.substr(0, text.find_first_of("\r\n"));
    if (password.empty()) Refuse(Shown(path) + " holds no password on its first line");
    return password;
}

int Upload(const UploadOptions& options) {
    if (options.servers.empty()) Refuse("upload: --to is missing");
    std::vector<ServerAddress> addresses;
    for (const std::string& server : options.servers) {
        addresses.push_back(ParseServerAddress(server));
    }
    Connection connection;
    connection.tls = options.tls;
    if (options.passwordFile) connection.password = ReadPasswordFile(*options.passwordFile);
    for (const ServerAddress& address : addresses) {
        if (!options.tls && !IsLoopbackHost(address.host)) {
            std::fprintf(stderr,
                         "warning: %s is not this machine, and without --tls the password "
                         "crosses the network in clear\n",
                         address.host.c_str());
        }
    }
    const LocalRelease release = ReadRelease(options.root, options.publicKey);
    std::vector<std::string> results;
    bool failed = false;
    for (const ServerAddress& address : addresses) {
        std::string result;
        failed |= !UploadTo(address, connection, release, options.prune, result);
        results.push_back(address.text + ": " + result);
    }
    for (const std::string& line : results) std::printf("%s\n", line.c_str());
    return failed ? kExitFailed : 0;
}

}  // namespace publish
