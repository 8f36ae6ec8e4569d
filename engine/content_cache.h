// What the local copies of a signed release's files held when they were last hashed. A signed
// program keeps a local copy only when it is the content the manifest records, whatever its
// dates say; so that a long list of current copies is not read whole on every run, each copy's
// SHA-256 is kept, in the user's cache directory, beside what the file system said of the copy
// when it was hashed (its stamp: size, modification and change times, volume and file id). A
// copy whose stamp is still the one kept is taken to hold the same content; any other is hashed
// again. A copy changed within a few seconds of its hashing is not kept: a change in the same
// tick of the file system's clock would leave its stamp as it was.
//
// A stamp is trusted for a week at most: some writes leave it as it was (through a shared
// mapping, on file systems that then move no time), so a copy hashed longer ago is hashed
// again. How long within that week a copy is trusted depends on its name, so that copies hashed
// in one run come due over several later ones, not all at once. A cache file, or the directory
// it lies in, that belongs to another user is never read (files::ReadOwnFile). What remains: a
// process of the same user can write the cache, and so have a changed copy kept for a week.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/manifest.h"
#include "engine/ordered_index.h"
#include "framework/cstring.h"
#include "platform/file_stamp.h"

namespace engine {

class ContentCache {
  public:
    // How long after its last change a copy must be hashed for what was found to be kept.
    static constexpr std::int64_t kQuietNanoseconds = 2000000000;
    // The longest a copy is known by its stamp after it was hashed: a week.
    static constexpr std::int64_t kTrustNanoseconds = 7 * 24 * 3600 * 1000000000LL;

    // The cache of the copies below productDirectory, kept in cacheDirectory (ending in a
    // separator). Empty, and never written, when cacheDirectory is; empty when none was kept or
    // what is there is not one (a cache of another product directory, a damaged or foreign file,
    // one of another user's). now: the run's time, in nanoseconds since 1970 (nothing: the
    // clock's); trustNanoseconds: the longest a copy is trusted after it was hashed.
    ContentCache(CString cacheDirectory, CString productDirectory,
                 std::int64_t quietNanoseconds = kQuietNanoseconds,
                 std::int64_t trustNanoseconds = ConfiguredTrust(),
                 std::optional<std::int64_t> now = std::nullopt);

    // kTrustNanoseconds; test and demo builds take a shorter time, in milliseconds, from
    // KESTRIN_CACHE_TRUST_MS (0 up to the week: 0 trusts nothing).
    static std::int64_t ConfiguredTrust();

    // Whether the copy of the listed name hashed at hashedAt must be hashed again at now: once
    // half the trusted time and a part of the other half that the name decides have passed
    // (or when hashedAt lies ahead: the clock went back).
    static bool Due(std::string_view name, std::int64_t hashedAt, std::int64_t now,
                    std::int64_t trustNanoseconds);

    // Whether the local copy of the listed name, at path, whose stamp is given (nothing: no
    // regular file is there) has the record's size and SHA-256: by the cache when it knows the
    // copy by this stamp, else by hashing it now. The name must stay valid until Save.
    bool Holds(std::string_view name, const CString& path,
               const std::optional<files::FileStamp>& stamp, const ManifestRecord& record);

    // Whether the copy of name at path, whose stamp is given, holds one of contents (a dropped
    // name's): by the cache when it knows the copy by this stamp, else by hashing it now. What
    // is found is not kept: the copy is about to go.
    bool HoldsOneOf(std::string_view name, const CString& path, const files::FileStamp& stamp,
                    const std::vector<ManifestRecord>& contents);

    // Keeps what this run knows for the next one, replacing what was kept, unless it is what
    // was read. Nothing is reported: a cache that is not written only costs hashing.
    void Save();

    // The name of the cache file of a product directory, in the cache directory.
    static CString FileFor(const CString& productDirectory);

  private:
    // What is known of a copy, as the cache file keeps it: the stamp's five numbers, when it
    // was hashed and the SHA-256, 80 bytes.
    static constexpr std::size_t kKnownBytes = 6 * 8 + 32;
    using Known = std::array<char, kKnownBytes>;
    // A name and where what is known of it is kept (in m_text, or in m_hashed).
    using Entry = std::pair<std::string_view, const char*>;

    bool Read();
    // What the cache knows of the copy of name, when it knows it by this stamp and its hashing
    // is not due again; null otherwise.
    const char* Trusted(std::string_view name, const files::FileStamp& stamp);

    const CString m_cacheDirectory;
    const CString m_productDirectory;
    const std::int64_t m_quietNanoseconds;
    const std::int64_t m_trustNanoseconds;
    const std::int64_t m_now;
    std::string m_text;  // the cache as it was read; m_read's entries point into it
    // The entries read, in the list's order of the run that wrote them.
    OrderedIndex<std::string_view, const char*> m_read;
    std::deque<Known> m_hashed;  // what this run learned by hashing
    std::vector<Entry> m_found;  // this run's copies that hold their record's content
    bool m_bLearned = false;     // a copy was hashed and is kept
};

}  // namespace engine
