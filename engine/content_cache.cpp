#include "engine/content_cache.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "kestrin_config.h"
#include "net/crypto.h"
#include "platform/landing.h"

namespace engine {

namespace {

// The cache file: this tag; the product directory (its length in 4 bytes, then its bytes); the
// count of entries (4 bytes); then each entry: the name's length (4 bytes) and bytes, the
// stamp's five numbers (8 bytes each), when the copy was hashed (8 bytes: nanoseconds since
// 1970) and the SHA-256 (32 bytes). Numbers are in the machine's own byte order: the file is
// this machine's user's alone.
constexpr char kTag[8] = {'K', 's', 't', 'H', 'a', 's', 'h', '2'};
constexpr std::size_t kStampBytes = 5 * 8;
constexpr std::size_t kDigestAt = kStampBytes + 8;
// Far beyond what a cache of the largest list takes; a larger file is not read, and not written.
constexpr std::size_t kMaxCacheBytes = 256 * 1024 * 1024;

// Reads the file's numbers and texts in order; once a read runs past the end, every read fails.
class Reader {
  public:
    explicit Reader(std::string_view text) : m_text(text) {}

    template <class Number>
    bool Take(Number& number) {
        if (m_text.size() - m_pos < sizeof number) return false;
        std::memcpy(&number, m_text.data() + m_pos, sizeof number);
        m_pos += sizeof number;
        return true;
    }
    bool Take(std::string_view& text, std::size_t size) {
        if (m_text.size() - m_pos < size) return false;
        text = m_text.substr(m_pos, size);
        m_pos += size;
        return true;
    }
    bool Take(std::string_view& text) {
        std::uint32_t size = 0;
        return Take(size) && Take(text, size);
    }
    std::size_t Left() const { return m_text.size() - m_pos; }

  private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

template <class Number>
void Put(std::string& text, Number number) {
    text.append(reinterpret_cast<const char*>(&number), sizeof number);
}

void Put(std::string& text, std::string_view value) {
    Put(text, static_cast<std::uint32_t>(value.size()));
    text.append(value);
}

// A stamp as the cache file keeps it, and back.
void PutStamp(char* bytes, const files::FileStamp& stamp) {
    const std::uint64_t numbers[] = {stamp.size, static_cast<std::uint64_t>(stamp.modified),
                                     static_cast<std::uint64_t>(stamp.changed), stamp.volume,
                                     stamp.id};
    std::memcpy(bytes, numbers, sizeof numbers);
}

files::FileStamp StampAt(const char* bytes) {
    std::uint64_t numbers[5];
    std::memcpy(numbers, bytes, sizeof numbers);
    return {numbers[0], static_cast<std::int64_t>(numbers[1]),
            static_cast<std::int64_t>(numbers[2]), numbers[3], numbers[4]};
}

std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t HashedAt(const char* known) {
    std::int64_t at = 0;
    std::memcpy(&at, known + kStampBytes, sizeof at);
    return at;
}

// Whether a copy hashed now, with this stamp, had not been changed for quiet nanoseconds: a
// change in the same tick of the file system's clock as the last one would not move its stamp.
bool Quiet(const files::FileStamp& stamp, std::int64_t quiet) {
    const std::int64_t now = Now();
    return now - stamp.modified >= quiet && now - stamp.changed >= quiet;
}

// A copy read whole and hashed: the stamp it had while read, its bytes and their SHA-256.
struct Hashed {
    files::FileStamp stamp;
    std::uint64_t bytes = 0;
    std::optional<net::Sha256Digest> digest;
};

// Reads the copy at path whole and hashes it; nothing when it could not be read or holds more
// than most bytes (the reading stops there).
std::optional<Hashed> HashWhole(const CString& path, std::uint64_t most) {
    net::Sha256 hash;
    Hashed hashed;
    const std::optional<files::FileStamp> read =
        files::ReadWholeFile(path.c_str(), [&](const void* data, std::size_t size) {
            hashed.bytes += size;
            if (hashed.bytes > most) return false;
            hash.Update(data, size);
            return true;
        });
    if (!read) return std::nullopt;
    hashed.stamp = *read;
    hashed.digest = hash.Finish();
    return hashed;
}

// The 64-bit FNV-1a hash of bytes.
std::uint64_t Fnv1a(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037u;
    for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
    return hash;
}

}  // namespace

ContentCache::ContentCache(CString cacheDirectory, CString productDirectory,
                           std::int64_t quietNanoseconds, std::int64_t trustNanoseconds,
                           std::optional<std::int64_t> now)
    : m_cacheDirectory(std::move(cacheDirectory)),
      m_productDirectory(std::move(productDirectory)),
      m_quietNanoseconds(quietNanoseconds),
      m_trustNanoseconds(trustNanoseconds),
      m_now(now.value_or(Now())) {
    if (!Read()) {
        m_read.Clear();
        m_text.clear();
    }
    m_found.reserve(m_read.Entries().size());
}

std::int64_t ContentCache::ConfiguredTrust() {
    if (!KESTRIN_SERVER_FROM_ENV) return kTrustNanoseconds;
    const char* text = std::getenv("KESTRIN_CACHE_TRUST_MS");
    if (text == nullptr || *text == '\0') return kTrustNanoseconds;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*end != '\0' || value > static_cast<unsigned long long>(kTrustNanoseconds / 1000000)) {
        return kTrustNanoseconds;
    }
    return static_cast<std::int64_t>(value) * 1000000;
}

bool ContentCache::Due(std::string_view name, std::int64_t hashedAt, std::int64_t now,
                       std::int64_t trustNanoseconds) {
    // The name's hash, read as a part of 4096.
    const std::uint64_t hash = Fnv1a(name);
    const std::int64_t half = trustNanoseconds / 2;
    const std::int64_t trusted =
        half + static_cast<std::int64_t>(hash % 4096) * ((trustNanoseconds - half) / 4096);
    return hashedAt > now || now - hashedAt >= trusted;
}

CString ContentCache::FileFor(const CString& productDirectory) {
    // One file a product directory (the file names it too).
    const std::uint64_t hash = Fnv1a(productDirectory);
    char name[32];
    std::snprintf(name, sizeof name, "content-%016" PRIx64 ".cache", hash);
    return name;
}

bool ContentCache::Read() {
    if (m_cacheDirectory.empty()) return false;
    const CString path = m_cacheDirectory + FileFor(m_productDirectory);
    // Room for the whole file at once: a cache of a long list is megabytes.
    if (const std::optional<files::FileStamp> stamp = files::StampOf(path.c_str())) {
        if (stamp->size > kMaxCacheBytes) return false;
        m_text.reserve(static_cast<std::size_t>(stamp->size));
    }
    const CString name = FileFor(m_productDirectory);
    const bool read = files::ReadOwnFile(m_cacheDirectory.c_str(), name.c_str(),
                                         [this](const void* data, std::size_t size) {
                                             if (size > kMaxCacheBytes - m_text.size()) {
                                                 return false;
                                             }
                                             m_text.append(static_cast<const char*>(data), size);
                                             return true;
                                         })
                          .has_value();
    Reader reader(m_text);
    std::string_view tag;
    std::string_view directory;
    std::uint32_t count = 0;
    if (!read || !reader.Take(tag, sizeof kTag) || tag != std::string_view(kTag, sizeof kTag) ||
        !reader.Take(directory) || directory != m_productDirectory || !reader.Take(count) ||
        count > reader.Left() / (4 + kKnownBytes)) {
        return false;
    }
    m_read.Entries().reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string_view name;
        std::string_view known;
        if (!reader.Take(name) || !reader.Take(known, kKnownBytes)) return false;
        m_read.Entries().emplace_back(name, known.data());
    }
    return reader.Left() == 0;
}

const char* ContentCache::Trusted(std::string_view name, const files::FileStamp& stamp) {
    const char* const* known = m_read.Find(name);
    if (known == nullptr || StampAt(*known) != stamp ||
        Due(name, HashedAt(*known), m_now, m_trustNanoseconds)) {
        return nullptr;
    }
    return *known;
}

bool ContentCache::Holds(std::string_view name, const CString& path,
                         const std::optional<files::FileStamp>& stamp,
                         const ManifestRecord& record) {
    if (!stamp || stamp->size != record.size) return false;
    if (const char* known = Trusted(name, *stamp)) {
        if (std::memcmp(known + kDigestAt, record.sha256.data(), record.sha256.size()) != 0) {
            return false;
        }
        m_found.emplace_back(name, known);
        return true;
    }
    const std::optional<Hashed> hashed = HashWhole(path, record.size);
    if (!hashed || !record.Matches(hashed->bytes, hashed->digest)) return false;
    if (Quiet(hashed->stamp, m_quietNanoseconds)) {
        Known& known = m_hashed.emplace_back();
        PutStamp(known.data(), hashed->stamp);
        std::memcpy(known.data() + kStampBytes, &m_now, sizeof m_now);
        std::memcpy(known.data() + kDigestAt, hashed->digest->data(), hashed->digest->size());
        m_found.emplace_back(name, known.data());
        m_bLearned = true;
    }
    return true;
}

bool ContentCache::HoldsOneOf(std::string_view name, const CString& path,
                              const files::FileStamp& stamp,
                              const std::vector<ManifestRecord>& contents) {
    const auto sized = [&](const ManifestRecord& record) { return record.size == stamp.size; };
    if (std::none_of(contents.begin(), contents.end(), sized)) return false;
    std::optional<net::Sha256Digest> digest;
    if (const char* known = Trusted(name, stamp)) {
        digest.emplace();
        std::memcpy(digest->data(), known + kDigestAt, digest->size());
    } else {
        const std::optional<Hashed> hashed = HashWhole(path, stamp.size);
        if (!hashed || hashed->stamp != stamp) return false;
        digest = hashed->digest;
    }
    return std::any_of(contents.begin(), contents.end(), [&](const ManifestRecord& record) {
        return sized(record) && record.Matches(stamp.size, digest);
    });
}

void ContentCache::Save() {
    // Nothing new when every copy was known by the cache, and every copy it knew was found.
    if (m_cacheDirectory.empty() || (!m_bLearned && m_found.size() == m_read.Entries().size()))
        return;
    std::string text(kTag, sizeof kTag);
    Put(text, std::string_view(m_productDirectory));
    Put(text, static_cast<std::uint32_t>(m_found.size()));
    for (const auto& [name, known] : m_found) {
        Put(text, name);
        text.append(known, kKnownBytes);
    }
    if (text.size() > kMaxCacheBytes) return;
    const std::unique_ptr<Landing> landing =
        Landing::Begin(m_cacheDirectory.c_str(), FileFor(m_productDirectory).c_str(),
                       FILE_ATTRIBUTE_NORMAL, false);
    if (landing && landing->Write(text.data(), static_cast<DWORD>(text.size()))) landing->Commit();
}

}  // namespace engine
