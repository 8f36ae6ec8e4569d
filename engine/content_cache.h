// What the local copies of a signed release's files held when they were last hashed. A signed
// program keeps a local copy only when it is the content the manifest records, whatever its
// dates say; so that a long list of current copies is not read whole on every run, each copy's
// SHA-256 is kept, in the user's cache directory, beside what the file system said of the copy
// when it was hashed (its stamp: size, modification and change times, volume and file id). A
// copy whose stamp is still the one kept is taken to hold the same content; any other is hashed
// again. A copy changed within a few seconds of its hashing is not kept: a change in the same
// tick of the file system's clock would leave its stamp as it was.
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

    // The cache of the copies below productDirectory, kept in cacheDirectory (ending in a
    // separator). Empty, and never written, when cacheDirectory is; empty when none was kept or
    // what is there is not one (a cache of another product directory, a damaged or foreign file).
    ContentCache(CString cacheDirectory, CString productDirectory,
                 std::int64_t quietNanoseconds = kQuietNanoseconds);

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
    // What is known of a copy, as the cache file keeps it: the stamp's five numbers and the
    // SHA-256, 72 bytes.
    static constexpr std::size_t kKnownBytes = 5 * 8 + 32;
    using Known = std::array<char, kKnownBytes>;
    // A name and where what is known of it is kept (in m_text, or in m_hashed).
    using Entry = std::pair<std::string_view, const char*>;

    bool Read();

    const CString m_cacheDirectory;
    const CString m_productDirectory;
    const std::int64_t m_quietNanoseconds;
    std::string m_text;  // the cache as it was read; m_read's entries point into it
    // The entries read, in the list's order of the run that wrote them.
    OrderedIndex<std::string_view, const char*> m_read;
    std::deque<Known> m_hashed;  // what this run learned by hashing
    std::vector<Entry> m_found;  // this run's copies that hold their record's content
    bool m_bLearned = false;     // a copy was hashed and is kept
};

}  // namespace engine
