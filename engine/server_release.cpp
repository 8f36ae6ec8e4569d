#include "engine/server_release.h"

#include <ctime>

#include "engine/rules.h"
#include "engine/run_context.h"
#include "kestrin_config.h"
#include "net/remote_files.h"
#include "platform/handle_owners.h"
#include "settings/settings_store.h"

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

// A transfer held to its manifest record: hashed as it arrives (over every try of it: a try that
// goes on where another was cut off adds to the hash), refused as soon as it runs past the
// recorded size, and landed only when its size and SHA-256 are the record's.
class RecordCheck final : public net::IReceiveCheck {
  public:
    explicit RecordCheck(const ManifestRecord& record) : m_record(record) {}

    bool Admits(ULONGLONG announced) override { return announced <= m_record.size || Refuse(); }
    bool Take(const void* data, std::size_t size) override {
        m_bytes += size;
        if (m_bytes > m_record.size) return Refuse();
        m_hash.Update(data, size);
        return true;
    }
    bool Accept(ULONGLONG totalBytes) override {
        return m_record.Matches(totalBytes, m_hash.Finish()) || Refuse();
    }
    bool Restart() override {
        m_hash = net::Sha256();
        m_bytes = 0;
        m_bRefused = false;
        return true;
    }
    ULONGLONG Expected() const override { return m_record.size; }
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

// The path on the server of the file served as name.
CString ServedPath(const char* name) {
    CString path = kRemoteDirectory;
    return path.append(name);
}

bool Download(IRemoteFiles& connection, const CString& remotePath, const CString& directory,
              const CString& localName, net::IReceiveCheck* check, ULONGLONG maxBytes) {
    return connection.DownloadFile(remotePath.c_str(), directory.c_str(), localName.c_str(), false,
                                   FILE_ATTRIBUTE_NORMAL, FTP_TRANSFER_TYPE_BINARY, 1, check,
                                   maxBytes);
}

// The keys of the text, comma-separated; none at all when one of them does not import.
std::vector<net::P256PublicKey> KeysFromText(std::string_view text) {
    std::vector<net::P256PublicKey> keys;
    for (;;) {
        const size_t comma = text.find(',');
        std::optional<net::P256PublicKey> key = net::P256PublicKey::FromText(text.substr(0, comma));
        if (!key) return {};
        keys.push_back(std::move(*key));
        if (comma == std::string_view::npos) return keys;
        text.remove_prefix(comma + 1);
    }
}

}  // namespace

ServerRelease::ServerRelease(std::string_view keyText)
    : m_bSigned(!keyText.empty()),
      m_keys(m_bSigned ? KeysFromText(keyText) : std::vector<net::P256PublicKey>()) {}

void ServerRelease::NewRun() {
    m_state = State::Unchecked;
    m_records.Clear();
    m_bTold = false;
}

bool ServerRelease::Verify(RunContext& run) {
    if (!m_bSigned) return true;
    if (m_state == State::Unchecked) m_state = Check(run) ? State::Verified : State::Refused;
    return m_state == State::Verified;
}

bool ServerRelease::Check(RunContext& run) {
    IRemoteFiles* connection = run.transport;
    if (m_keys.empty() || connection == nullptr || run.settings == nullptr) return false;
    // The manifest is hashed as it arrives, not read once more for its signature.
    const std::optional<IRemoteFiles::Bytes> text =
        connection->FetchBytes(ServedPath(kManifestName).c_str(), kMaxManifestBytes);
    if (!text) return false;
    const std::optional<IRemoteFiles::Bytes> signature =
        connection->FetchBytes(ServedPath(kManifestSignatureName).c_str(), kMaxSignatureBytes);
    if (!signature) return false;
    const std::optional<std::uint64_t> accepted = AcceptedSerial(*run.settings);
    if (!accepted) return false;
    const ManifestPolicy policy{KESTRIN_UPDATE_PRODUCT, std::time(nullptr), *accepted};
    ManifestVerdict verdict =
        CheckManifest(text->bytes, text->sha256, signature->bytes, m_keys, policy);
    if (!verdict || !RecordAcceptedSerial(*run.settings, verdict.manifest->serial)) return false;
    m_records.Entries() = std::move(verdict.manifest->files);
    return true;
}

const ManifestRecord* ServerRelease::Record(const CString& name) {
    return m_bSigned && m_state == State::Verified ? m_records.Find(name) : nullptr;
}

Fetched ServerRelease::Fetch(IRemoteFiles& connection, const CString& name,
                             const CString& remotePath, const CString& directory,
                             const CString& localName, std::optional<ULONGLONG> maxBytes) {
    return FetchRecorded(connection, m_bSigned ? Record(name) : nullptr, remotePath, directory,
                         localName, maxBytes);
}

Fetched ServerRelease::FetchRecorded(IRemoteFiles& connection, const ManifestRecord* record,
                                     const CString& remotePath, const CString& directory,
                                     const CString& localName,
                                     std::optional<ULONGLONG> maxBytes) const {
    const ULONGLONG bound = maxBytes.value_or(IRemoteFiles::kAnySize);
    if (!m_bSigned) {
        return Download(connection, remotePath, directory, localName, nullptr, bound)
                   ? Fetched::Landed
                   : Fetched::Failed;
    }
    if (record == nullptr) return Fetched::Refused;
    // Larger than the run may take, as a server's file would be: not fetched at all.
    if (record->size > bound) return Fetched::Failed;
    RecordCheck check(*record);
    if (Download(connection, remotePath, directory, localName, &check, bound)) {
        return Fetched::Landed;
    }
    return check.Refused() ? Fetched::Refused : Fetched::Failed;
}

Fetched ServerRelease::FetchRunCopy(RunContext& run, const CString& name, const CString& remotePath,
                                    const CString& localName, ULONGLONG maxBytes) {
    if (run.transport == nullptr || !Verify(run)) return Fetched::Refused;
    return Fetch(*run.transport, name, remotePath, run.tempDirectory, localName, maxBytes);
}

void ServerRelease::Refuse(IRunView& view, bool tell) {
    m_state = State::Refused;
    if (tell && !m_bTold) {
        m_bTold = true;
        view.ShowMessage(kUnverifiedRelease);
    }
}

std::optional<std::uint64_t> AcceptedSerial(ISettings& settings) {
    // A default that no value of the program's or of the registry's number types reads as:
    // a value that is missing, or cannot be read, is none.
    constexpr char kNone[] = "\x01 no serial stored \x01";
    const CString stored = settings.ReadSetting(kSerialSection, kSerialEntry, kNone);
    if (stored == kNone) return 0;
    return ParseCount(stored);
}

bool RecordAcceptedSerial(ISettings& settings, std::uint64_t serial) {
    const MutexHandle lock(CreateMutexA(nullptr, FALSE, kSerialLock));
    const DWORD waited = lock ? WaitForSingleObject(lock.get(), kSerialLockWaitMs) : WAIT_FAILED;
    const bool held = waited != WAIT_FAILED && waited != WAIT_TIMEOUT;
    const std::optional<std::uint64_t> stored = AcceptedSerial(settings);
    const bool recorded =
        stored && (*stored >= serial ||
                   settings.WriteSetting(kSerialSection, kSerialEntry, std::to_string(serial)));
    if (held) ReleaseMutex(lock.get());
    return recorded;
}

}  // namespace engine
