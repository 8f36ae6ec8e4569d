#include "engine/server_release.h"

#include <ctime>
#include <memory>

#include "engine/rules.h"
#include "engine/update_host.h"
#include "kestrin_config.h"
#include "net/remote_files.h"
#include "platform/handle_owners.h"

namespace engine {

namespace {

constexpr char kRemoteDirectory[] = "Update/";
// A manifest of every entry that the largest list may hold, with room to spare; a signature
// is 72 bytes at most.
constexpr ULONGLONG kMaxManifestBytes = 64 * 1024 * 1024;
constexpr ULONGLONG kMaxSignatureBytes = 1024;
// The lock that runs take around the read and the write of the highest serial. It is held for
// a read and a write only: a run that cannot have it in this time goes on without it.
constexpr char kSerialLock[] = "Local\\Kestrin.ManifestSerial";
constexpr DWORD kSerialLockWaitMs = 10000;

// A transfer held to its manifest record: hashed as it arrives, refused as soon as it runs past
// the recorded size, and landed only when its size and SHA-256 are the record's.
class RecordCheck final : public net::IReceiveCheck {
  public:
    explicit RecordCheck(const ManifestRecord& record) : m_record(record) {}

    bool Take(const void* data, std::size_t size) override {
        m_bytes += size;
        if (m_bytes > m_record.size) return Refuse();
        m_hash.Update(data, size);
        return true;
    }
    bool Accept(ULONGLONG totalBytes) override {
        return m_record.Matches(totalBytes, m_hash.Finish()) || Refuse();
    }
    bool Refused() const { return m_bRefused; }

  private:
    bool Refuse() {
        m_bRefused = true;
        return false;
    }

    const ManifestRecord& m_record;
    net::Sha256 m_hash;
    ULONGLONG m_bytes = 0;
    bool m_bRefused = false;
};

// A transfer held to at most limit bytes.
class SizeLimit final : public net::IReceiveCheck {
  public:
    explicit SizeLimit(ULONGLONG limit) : m_left(limit) {}
    bool Take(const void*, std::size_t size) override {
        if (size > m_left) return false;
        m_left -= size;
        return true;
    }
    bool Accept(ULONGLONG) override { return true; }

  private:
    ULONGLONG m_left;
};

bool Download(IRemoteFiles& connection, const CString& remotePath, const CString& localPath,
              const char* below, net::IReceiveCheck* check) {
    return connection.DownloadFile(remotePath.c_str(), localPath.c_str(), false,
                                   FILE_ATTRIBUTE_NORMAL, FTP_TRANSFER_TYPE_BINARY, 1, below,
                                   check);
}

// The bytes of the file at path, exactly as they are (no text-mode reading: a signature covers
// every byte), when it holds at most limit of them.
std::optional<CString> ReadBytes(const CString& path, ULONGLONG limit) {
    HANDLE raw = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return std::nullopt;
    const FileHandle file(raw);
    const auto piece = std::make_unique<char[]>(64 * 1024);
    CString bytes;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), piece.get(), 64 * 1024, &got, nullptr)) return std::nullopt;
        if (got == 0) return bytes;
        bytes.append(piece.get(), got);
        if (bytes.size() > limit) return std::nullopt;
    }
}

// The bytes of the served file Update/<name>, at most limit of them, through this run's own
// copy in the temporary directory (stem, the process id, extension), which goes again.
std::optional<CString> FetchBytes(IRemoteFiles& connection, const CString& tempDirectory,
                                  const char* name, const char* stem, const char* extension,
                                  ULONGLONG limit) {
    const CString localPath = PathInDirectory(tempDirectory, RunCopyName(stem, extension).c_str());
    SizeLimit bound(limit);
    std::optional<CString> bytes;
    if (Download(connection, kRemoteDirectory + CString(name), localPath, nullptr, &bound)) {
        bytes = ReadBytes(localPath, limit);
        DeleteFileA(localPath.c_str());
    }
    return bytes;
}

}  // namespace

ServerRelease::ServerRelease(std::string_view keyText)
    : m_bSigned(!keyText.empty()),
      m_key(m_bSigned ? net::P256PublicKey::FromText(keyText) : std::nullopt) {}

void ServerRelease::NewRun() {
    m_state = State::Unchecked;
    m_records.clear();
    m_bTold = false;
}

bool ServerRelease::Verify(IUpdateHost& host) {
    if (!m_bSigned) return true;
    if (m_state == State::Unchecked) m_state = Check(host) ? State::Verified : State::Refused;
    return m_state == State::Verified;
}

bool ServerRelease::Check(IUpdateHost& host) {
    IRemoteFiles* connection = host.Connection();
    const CString tempDirectory = host.TempPath();
    if (!m_key || connection == nullptr || tempDirectory.empty()) return false;
    const std::optional<CString> text = FetchBytes(*connection, tempDirectory, kManifestName,
                                                   "Manifest", ".txt", kMaxManifestBytes);
    if (!text) return false;
    const std::optional<CString> signature = FetchBytes(
        *connection, tempDirectory, kManifestSignatureName, "Manifest", ".sig", kMaxSignatureBytes);
    if (!signature) return false;
    const ManifestPolicy policy{KESTRIN_UPDATE_PRODUCT, std::time(nullptr), AcceptedSerial(host)};
    ManifestVerdict verdict = CheckManifest(*text, *signature, *m_key, policy);
    if (!verdict) return false;
    for (auto& [name, record] : verdict.manifest->files) m_records.emplace(std::move(name), record);
    RecordAcceptedSerial(host, verdict.manifest->serial);
    return true;
}

bool ServerRelease::Covers(const CString& name) const {
    return !m_bSigned || (m_state == State::Verified && m_records.count(name) != 0);
}

Fetched ServerRelease::Fetch(IRemoteFiles& connection, const CString& name,
                             const CString& remotePath, const CString& localPath,
                             const char* below) {
    if (!m_bSigned) {
        return Download(connection, remotePath, localPath, below, nullptr) ? Fetched::Landed
                                                                           : Fetched::Failed;
    }
    const auto found = m_records.find(name);
    if (m_state != State::Verified || found == m_records.end()) return Fetched::Refused;
    RecordCheck check(found->second);
    if (Download(connection, remotePath, localPath, below, &check)) return Fetched::Landed;
    return check.Refused() ? Fetched::Refused : Fetched::Failed;
}

void ServerRelease::Refuse(IUpdateHost& host, bool tell) {
    m_state = State::Refused;
    if (tell && !m_bTold) {
        m_bTold = true;
        host.ShowMessage(kUnverifiedRelease);
    }
}

std::uint64_t AcceptedSerial(IUpdateHost& host) {
    return ParseCount(host.ReadSetting(kSerialSection, kSerialEntry, "0")).value_or(0);
}

void RecordAcceptedSerial(IUpdateHost& host, std::uint64_t serial) {
    const MutexHandle lock(CreateMutexA(nullptr, FALSE, kSerialLock));
    const DWORD waited = lock ? WaitForSingleObject(lock.get(), kSerialLockWaitMs) : WAIT_FAILED;
    const bool held = waited != WAIT_FAILED && waited != WAIT_TIMEOUT;
    if (AcceptedSerial(host) < serial) {
        host.WriteSetting(kSerialSection, kSerialEntry, std::to_string(serial));
    }
    if (held) ReleaseMutex(lock.get());
}

}  // namespace engine
