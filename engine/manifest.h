// The signed manifest of a publication on the update server: Update/Manifest.txt names the
// product, a serial number that grows from one publication to the next, an expiry instant,
// and the size and SHA-256 of every file served below Update/ (Version.txt, File_list.txt and
// each listed file) under its name exactly as listed. Update/Manifest.sig is the ECDSA P-256
// signature of Manifest.txt's exact bytes. The text form is described in the README.
//
// A signed program checks a fetched manifest with CheckManifest, then looks each served name up
// and hashes the file as it arrives (net::Sha256), using it only when ManifestRecord::Matches
// says so (engine/server_release.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/cstring.h"
#include "net/crypto.h"

namespace engine {

// Names of the served files below the server's Update/ directory.
inline constexpr char kManifestName[] = "Manifest.txt";
inline constexpr char kManifestSignatureName[] = "Manifest.sig";
inline constexpr char kVersionFileName[] = "Version.txt";
inline constexpr char kFileListName[] = "File_list.txt";

// The lines of a text of records that ends in a line feed, one at a time, each without its line
// feed (nor a carriage return before it), counted from 1.
class RecordLines {
  public:
    explicit RecordLines(std::string_view text) : m_text(text) {}
    // The next line; false after the last.
    bool Next(std::string_view& line) {
        if (m_start >= m_text.size()) return false;
        const size_t end = m_text.find('\n', m_start);
        line = m_text.substr(m_start, end - m_start);
        m_start = end == std::string_view::npos ? m_text.size() : end + 1;
        ++m_number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return true;
    }
    // The number of the line Next gave last (0 before the first).
    size_t Number() const { return m_number; }

  private:
    std::string_view m_text;
    size_t m_start = 0;
    size_t m_number = 0;
};

struct ManifestRecord {
    std::uint64_t size = 0;
    net::Sha256Digest sha256{};

    // Whether a file of size bytes whose hashing gave digest is the one recorded; a hashing
    // that failed (nothing) never matches.
    bool Matches(std::uint64_t fileSize, const std::optional<net::Sha256Digest>& digest) const {
        return digest && fileSize == size && *digest == sha256;
    }
};

struct Manifest {
    CString product;
    std::uint64_t serial = 0;
    // Seconds since 1970-01-01 00:00 UTC; the manifest is refused from this instant on.
    std::int64_t expires = 0;
    // Each served file's name and record, in the manifest's order; no name twice.
    std::vector<std::pair<CString, ManifestRecord>> files;

    // The record of the file served under name (compared byte for byte, case included), or
    // null when the manifest has none.
    const ManifestRecord* Find(const CString& name) const;
};

// Why a manifest was refused, in the order of the checks.
enum class ManifestFault {
    Unsigned,      // no signature, or an empty one
    BadSignature,  // not a signature of these bytes by this key
    Malformed,     // signed, but not a manifest of this form
    Expired,
    OtherProduct,
    OlderSerial,  // lower than the highest serial accepted before
};

struct ManifestVerdict {
    std::optional<Manifest> manifest;  // set when the manifest was accepted
    ManifestFault fault = ManifestFault::Malformed;
    CString reason;  // when refused: what is wrong, in words

    explicit operator bool() const { return manifest.has_value(); }
};

// What an accepted manifest must say besides being signed.
struct ManifestPolicy {
    // This program's product; nothing accepts any (the publisher's check of a tree).
    std::optional<CString> product;
    // The present instant, in seconds since 1970-01-01 00:00 UTC.
    std::int64_t now = 0;
    // The highest serial accepted before (0 when none); an equal serial is accepted.
    std::uint64_t highestSerial = 0;
};

// The manifest whose exact bytes are text, when signature (Manifest.sig's bytes: a DER-encoded
// ECDSA signature) is the signature over them of one of keys (a program may know a publisher's
// old key and new one while the publisher moves from one to the other) and the text has the
// manifest's form. The signature is checked before the text is read.
ManifestVerdict ReadSignedManifest(std::string_view text, std::string_view signature,
                                   std::span<const net::P256PublicKey> keys);
// The same for text whose SHA-256 the caller took already (as it arrived): digest must be the
// SHA-256 of exactly text.
ManifestVerdict ReadSignedManifest(std::string_view text, const net::Sha256Digest& digest,
                                   std::string_view signature,
                                   std::span<const net::P256PublicKey> keys);

// ReadSignedManifest, and then the policy: not expired, for this product, a serial not lower
// than the highest accepted before.
ManifestVerdict CheckManifest(std::string_view text, std::string_view signature,
                              std::span<const net::P256PublicKey> keys,
                              const ManifestPolicy& policy);
// The same with text's SHA-256 taken already (see ReadSignedManifest).
ManifestVerdict CheckManifest(std::string_view text, const net::Sha256Digest& digest,
                              std::string_view signature, std::span<const net::P256PublicKey> keys,
                              const ManifestPolicy& policy);
inline ManifestVerdict CheckManifest(std::string_view text, std::string_view signature,
                                     const net::P256PublicKey& key, const ManifestPolicy& policy) {
    return CheckManifest(text, signature, std::span(&key, 1), policy);
}

// The manifest that text holds, read without any check of a signature (for the publisher, who
// reads back what it wrote before); nothing, with the reason, when the text is malformed.
std::optional<Manifest> ParseManifest(std::string_view text, CString* reason = nullptr);

// The text of a manifest, in the form ParseManifest reads.
CString ManifestText(const Manifest& manifest);

// Decimal digits without a sign or a needless leading zero, below 2^64: the form of the
// manifest's sizes and serial (and of the serial a signed program keeps).
std::optional<std::uint64_t> ParseCount(std::string_view text);

// A line of records split at its first blank: its keyword, and the rest of the line (empty when
// it has no blank).
std::pair<std::string_view, std::string_view> SplitRecord(std::string_view line);

// A product or a file name: the rest of its line, not empty, without control characters.
bool IsNameText(std::string_view text);

// The fields "SIZE SHA256 NAME" of a record of a served file's content: the size and SHA-256,
// with name set to NAME; nothing unless each field has its form.
std::optional<ManifestRecord> ParseContentFields(std::string_view fields, std::string_view& name);

// How a reader of records refuses a text: sets reason (when asked for) to "line N: what", and
// gives nothing.
std::nullopt_t RefuseLine(CString* reason, size_t lineNumber, const CString& what);

// An instant as the manifest writes it, "YYYY-MM-DDTHH:MM:SSZ" in UTC.
CString UtcInstantText(std::int64_t instant);

}  // namespace engine
