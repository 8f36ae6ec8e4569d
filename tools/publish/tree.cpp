#include "tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "net/crypto.h"
#include "platform/unique_fd.h"

namespace publish {

namespace {

constexpr size_t kPiece = 1 << 16;

std::string ErrorText(const fs::path& path, int error) {
    return Shown(path) + ": " + std::strerror(error);
}

posix::UniqueFd OpenForReading(const fs::path& path, bool& missing) {
    posix::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    missing = file.Get() < 0 && errno == ENOENT;
    if (file.Get() < 0 && !missing) Fail("cannot read " + ErrorText(path, errno));
    return file;
}

// Reads the next piece; 0 at the end.
size_t ReadPiece(const posix::UniqueFd& file, const fs::path& path, char* buffer) {
    for (;;) {
        const ssize_t got = ::read(file.Get(), buffer, kPiece);
        if (got >= 0) return static_cast<size_t>(got);
        if (errno != EINTR) Fail("cannot read " + ErrorText(path, errno));
    }
}

void WriteAll(int fd, const char* data, size_t size, const fs::path& path) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0) {
            if (errno == EINTR) continue;
            Fail("cannot write " + ErrorText(path, errno));
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
}

void SyncDirectory(const fs::path& directory) {
    const posix::UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() < 0 || ::fsync(fd.Get()) != 0) Fail("cannot flush " + ErrorText(directory, errno));
}

// A file being written under a temporary name beside its target; removed unless it landed.
class PendingFile {
  public:
    PendingFile(const fs::path& target, mode_t mode)
        : m_target(target),
          m_name{(target.parent_path() / (std::string(kTemporaryPrefix) + "XXXXXX")).string()},
          m_file(::mkostemp(m_name.path.data(), O_CLOEXEC)) {
        if (m_file.Get() < 0) {
            m_name.landed = true;  // nothing was created
            Fail("cannot write in " + ErrorText(target.parent_path(), errno));
        }
        if (::fchmod(m_file.Get(), mode) != 0)
            Fail("cannot write " + ErrorText(m_name.path, errno));
    }

    void Write(const char* data, size_t size) { WriteAll(m_file.Get(), data, size, m_target); }

    // Flushes the data to the disk, then puts the file in place: by a rename over the target,
    // or (exclusive) by a link that fails when the target exists.
    void Land(bool exclusive) {
        if (::fsync(m_file.Get()) != 0 || !m_file.Close()) {
            Fail("cannot write " + ErrorText(m_target, errno));
        }
        const char* name = m_name.path.c_str();
        if (exclusive) {
            if (::link(name, m_target.c_str()) != 0) {
                if (errno == EEXIST) {
                    Refuse(Shown(m_target) + " exists already; it is never overwritten");
                }
                Fail("cannot create " + ErrorText(m_target, errno));
            }
            ::unlink(name);
        } else if (::rename(name, m_target.c_str()) != 0) {
            Fail("cannot replace " + ErrorText(m_target, errno));
        }
        m_name.landed = true;
        SyncDirectory(m_target.parent_path());
    }

  private:
    struct TemporaryName {
        std::string path;
        bool landed = false;
        ~TemporaryName() {
            if (!landed) ::unlink(path.c_str());
        }
    };

    fs::path m_target;
    TemporaryName m_name;  // removed after the descriptor is closed
    posix::UniqueFd m_file;
};

}  // namespace

void Refuse(const std::string& message) {
    throw Stop(kExitRefused, message);
}

void Fail(const std::string& message) {
    throw Stop(kExitFailed, message);
}

std::string Shown(const fs::path& path) {
    return path.lexically_normal().string();
}

std::optional<std::string> ReadWholeFile(const fs::path& path) {
    bool missing = false;
    const posix::UniqueFd file = OpenForReading(path, missing);
    if (missing) return std::nullopt;
    std::string content;
    std::vector<char> buffer(kPiece);
    while (const size_t got = ReadPiece(file, path, buffer.data()))
        content.append(buffer.data(), got);
    return content;
}

std::optional<engine::ManifestRecord> HashFile(const fs::path& path) {
    bool missing = false;
    const posix::UniqueFd file = OpenForReading(path, missing);
    if (missing) return std::nullopt;
    net::Sha256 hasher;
    engine::ManifestRecord record;
    std::vector<char> buffer(kPiece);
    while (const size_t got = ReadPiece(file, path, buffer.data())) {
        hasher.Update(buffer.data(), got);
        record.size += got;
    }
    const std::optional<net::Sha256Digest> digest = hasher.Finish();
    if (!digest) Fail("cannot hash " + Shown(path));
    record.sha256 = *digest;
    return record;
}

void WriteFileAtomically(const fs::path& path, std::string_view bytes, mode_t mode) {
    PendingFile file(path, mode);
    file.Write(bytes.data(), bytes.size());
    file.Land(false);
}

void CopyFileAtomically(const fs::path& from, const fs::path& path) {
    bool missing = false;
    const posix::UniqueFd source = OpenForReading(from, missing);
    if (missing) Fail("cannot read " + ErrorText(from, ENOENT));
    PendingFile file(path, 0644);
    std::vector<char> buffer(kPiece);
    while (const size_t got = ReadPiece(source, from, buffer.data()))
        file.Write(buffer.data(), got);
    file.Land(false);
}

void CreateFileExclusively(const fs::path& path, std::string_view bytes, mode_t mode) {
    PendingFile file(path, mode);
    file.Write(bytes.data(), bytes.size());
    file.Land(true);
}

bool IsTemporary(const fs::path& path) {
    return path.filename().string().starts_with(kTemporaryPrefix);
}

std::string Folded(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

void RemoveLeftovers(const fs::path& directory) {
    std::error_code error;
    std::vector<fs::path> leftovers;
    for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        if (IsTemporary(it->path()) && it->is_regular_file(error)) {
            leftovers.push_back(it->path());
        }
    }
    if (error) Fail("cannot read " + Shown(directory) + ": " + error.message());
    for (const fs::path& leftover : leftovers) fs::remove(leftover, error);
}

}  // namespace publish
