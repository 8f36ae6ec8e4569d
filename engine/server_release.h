// The release on the update server as one run sees it (a press of the Update button, or the
// check of a command-line switch). A program built with the publisher's key
// (KESTRIN_UPDATE_PUBLIC_KEY) fetches the signed manifest once per run, after the login and
// before anything else, and then uses a served file only when its size and SHA-256 are the
// manifest's: each file is hashed as it arrives, on its way into the temporary file beside its
// target, and lands only when it matches. A program without a key uses the files as they come.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/manifest.h"
#include "engine/ordered_index.h"
#include "framework/cstring.h"
#include "platform/win32api.h"

class IRemoteFiles;
class ISettings;

namespace engine {

class IRunView;
struct RunContext;

// What the user is told, once per run, when the release on the server cannot be verified.
inline constexpr char kUnverifiedRelease[] =
    "The update on the server could not be verified.\nNothing was changed.";

// The setting that keeps the highest manifest serial this user has accepted.
inline constexpr char kSerialSection[] = "Update";
inline constexpr char kSerialEntry[] = "ManifestSerial";

// What became of a served file.
enum class Fetched {
    Landed,
    Failed,   // the transfer failed (the server, the connection or the local disk)
    Refused,  // the manifest has no record of it, or it arrived otherwise than recorded
};

class ServerRelease {
  public:
    // keyText: the publisher's public keys the program was built with, each as kestrin-publish
    // keygen prints it, separated by commas (a manifest signed with any of them verifies);
    // empty in a program without one. A key that does not import (a point off the curve)
    // refuses every release.
    explicit ServerRelease(std::string_view keyText = {});

    bool IsSigned() const { return m_bSigned; }

    // A new run (a new connection): the manifest is fetched again, and the user may be told
    // once more.
    void NewRun();

    // Whether this run may use the server's files: always in a program without a key. In a
    // signed program the first call of a run fetches Update/Manifest.txt and Update/Manifest.sig
    // over the run's connection into memory and checks them: the signature, the expiry, the
    // product (KESTRIN_UPDATE_PRODUCT) and a serial not below the highest accepted before (read
    // from the run's settings). An accepted serial higher than that is stored at once. False for
    // the rest of the run once the release has been refused.
    bool Verify(RunContext& run);

    // The record of the served name in this run's verified manifest; null when there is none,
    // and always without a key.
    const ManifestRecord* Record(const CString& name);

    // Fetches remotePath, the file served as name, to localName below directory (as
    // IRemoteFiles::DownloadFile says). In a signed program it is fetched only when the run's
    // manifest has a record of it, hashed as it arrives, and lands only when its size and
    // SHA-256 are the record's. maxBytes, when given, bounds it while it is received: a larger
    // file fails as soon as it passes the bound (and one recorded larger is not fetched).
    Fetched Fetch(IRemoteFiles& connection, const CString& name, const CString& remotePath,
                  const CString& directory, const CString& localName,
                  std::optional<ULONGLONG> maxBytes = std::nullopt);

    // Fetch of a file whose record (null: none) the run looked up already: what Fetch does
    // once it has the record, and nothing else of the release's, so that other threads may
    // fetch at the same time.
    Fetched FetchRecorded(IRemoteFiles& connection, const ManifestRecord* record,
                          const CString& remotePath, const CString& directory,
                          const CString& localName,
                          std::optional<ULONGLONG> maxBytes = std::nullopt) const;

    // Verify, then Fetch of one of the release's own files (Version.txt, File_list.txt) over the
    // run's connection into its temporary directory as localName, bounded by maxBytes; Refused
    // when the release is not verified. A signed program fetches the manifest, its signature
    // and these as the release's own files (IRemoteFiles::ReleaseFiles).
    Fetched FetchRunCopy(RunContext& run, const CString& name, const CString& remotePath,
                         const CString& localName, ULONGLONG maxBytes);

    // The run uses nothing more from the server. With tell, the user learns through view that
    // the release could not be verified, unless this run has said so already.
    void Refuse(IRunView& view, bool tell);

  private:
    bool Check(RunContext& run);

    enum class State { Unchecked, Verified, Refused };

    bool m_bSigned;
    std::vector<net::P256PublicKey> m_keys;  // empty when one did not import
    State m_state = State::Unchecked;
    OrderedIndex<CString, ManifestRecord> m_records;
    bool m_bTold = false;
};

// Records serial as the highest this user has accepted, unless the store holds a higher one
// already. Other runs at the same time do the same under the same lock, so that none puts a
// lower serial back over a higher one. False when the store holds what is no serial (which is
// never replaced) or the serial could not be stored: rollback protection would be lost.
bool RecordAcceptedSerial(ISettings& settings, std::uint64_t serial);

// The highest serial accepted before: 0 when none is stored; nothing when what is stored is no
// plain decimal number (" 300", "300x", another type of value), which must not be taken for a
// lower serial.
std::optional<std::uint64_t> AcceptedSerial(ISettings& settings);

}  // namespace engine
