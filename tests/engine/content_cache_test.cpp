#include "engine/content_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

const std::string kContent = "the recorded content\n";

engine::ManifestRecord RecordOf(const std::string& content) {
    net::Sha256 hash;
    hash.Update(content);
    return {content.size(), *hash.Finish()};
}

struct Dirs {
    TempDir cache;
    TempDir install;
    std::string CacheDirectory() const { return (cache.path() / "").string(); }
    std::string Product(const char* name = "Pelmora") const {
        return (install.path() / name / "").string();
    }
    fs::path Copy(const char* product = "Pelmora") const {
        return install.path() / product / "a.txt";
    }
    fs::path CacheFile(const char* product = "Pelmora") const {
        return cache.path() / engine::ContentCache::FileFor(Product(product)).c_str();
    }
};

bool Holds(const Dirs& dirs, const char* product, std::int64_t quiet = 0) {
    engine::ContentCache cache(dirs.CacheDirectory(), dirs.Product(product), quiet);
    const fs::path copy = dirs.Copy(product);
    const bool holds = cache.Holds("a.txt", copy.string(), files::StampOf(copy.string().c_str()),
                                   RecordOf(kContent));
    cache.Save();
    return holds;
}

// The last byte of the cache file, which ends with the only entry's SHA-256, made wrong.
void SpoilDigest(const Dirs& dirs) {
    std::string cache = ReadFile(dirs.CacheFile());
    cache.back() ^= 1;
    WriteFile(dirs.CacheFile(), cache);
}

// Waits out the file system clock's tick, so that a change after it moves the copy's stamp.
void NextTick() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace

TEST(ContentCache, KnowsACopyByItsStampAndHashesItAgainWhenTheStampSaysItChanged) {
    const struct {
        const char* what;
        std::function<void(const Dirs&)> change;
        bool holds;
    } cases[] = {
        {"a copy the cache knows, untouched", [](const Dirs&) {}, true},
        // A wrong digest is believed while the stamp stands: the copy was not read again.
        {"the cache's digest of an untouched copy made wrong", SpoilDigest, false},
        {"the copy written again with the same bytes after that",
         [](const Dirs& dirs) {
             SpoilDigest(dirs);
             NextTick();
             WriteFile(dirs.Copy(), kContent);
         },
         true},
        {"other bytes of the same size, the modification time put back",
         [](const Dirs& dirs) {
             const fs::file_time_type modified = fs::last_write_time(dirs.Copy());
             NextTick();
             std::string other = kContent;
             other[0] = 'T';
             WriteFile(dirs.Copy(), other);
             fs::last_write_time(dirs.Copy(), modified);
         },
         false},
        {"the copy removed", [](const Dirs& dirs) { fs::remove(dirs.Copy()); }, false},
        {"a cache cut short is not read at all",
         [](const Dirs& dirs) {
             SpoilDigest(dirs);
             std::string cache = ReadFile(dirs.CacheFile());
             cache.pop_back();
             WriteFile(dirs.CacheFile(), cache);
         },
         true},
        // The same files (stamps and all) as another product directory's: not this one's.
        {"the cache of another product directory",
         [](const Dirs& dirs) {
             SpoilDigest(dirs);
             fs::rename(dirs.Copy().parent_path(), dirs.Copy("Other").parent_path());
             fs::rename(dirs.CacheFile(), dirs.CacheFile("Other"));
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Dirs dirs;
        WriteFile(dirs.Copy(), kContent);
        ASSERT_TRUE(Holds(dirs, "Pelmora"));
        ASSERT_TRUE(fs::exists(dirs.CacheFile()));
        c.change(dirs);
        const char* product = fs::exists(dirs.Copy("Other")) ? "Other" : "Pelmora";
        EXPECT_EQ(Holds(dirs, product), c.holds);
    }
}

TEST(ContentCache, KeepsNothingOfACopyChangedJustBeforeItWasHashed) {
    Dirs dirs;
    WriteFile(dirs.Copy(), kContent);
    EXPECT_TRUE(Holds(dirs, "Pelmora", engine::ContentCache::kQuietNanoseconds));
    EXPECT_FALSE(fs::exists(dirs.CacheFile()));
}
