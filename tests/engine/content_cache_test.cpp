#include "engine/content_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
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

bool Holds(const Dirs& dirs, const char* product, std::int64_t quiet = 0,
           std::optional<std::int64_t> now = std::nullopt) {
    engine::ContentCache cache(dirs.CacheDirectory(), dirs.Product(product), quiet,
                               engine::ContentCache::kTrustNanoseconds, now);
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

// A copy is known by its stamp for a bounded time only, and only from the user's own cache: past
// that time, or from a cache another user could have planted, the digest made wrong is not
// believed and the copy is hashed again.
TEST(ContentCache, TrustsAStampForABoundedTimeAndOnlyInTheUsersOwnCache) {
    constexpr std::int64_t kMinute = 60 * 1000000000LL;
    constexpr std::int64_t kHashed = 1700000000 * 1000000000LL;
    const struct {
        const char* what;
        std::int64_t later;  // the next run, after the copy was hashed
        bool fileGiven;      // the cache file given to another user
        bool directoryGiven;
        bool holds;
    } cases[] = {
        {"a minute later", kMinute, false, false, false},
        {"a week later", engine::ContentCache::kTrustNanoseconds, false, false, true},
        {"the clock put back", -kMinute, false, false, true},
        {"the cache file another user's", kMinute, true, false, true},
        {"the cache directory another user's", kMinute, false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Dirs dirs;
        WriteFile(dirs.Copy(), kContent);
        ASSERT_TRUE(Holds(dirs, "Pelmora", 0, kHashed));
        SpoilDigest(dirs);
        if ((c.fileGiven && !GiveToAnotherUser(dirs.CacheFile())) ||
            (c.directoryGiven && !GiveToAnotherUser(dirs.cache.path()))) {
            std::printf("skipped (only root can give a file away): %s\n", c.what);
            continue;
        }
        EXPECT_EQ(Holds(dirs, "Pelmora", 0, kHashed + c.later), c.holds);
    }
}

// Copies hashed in one run come due over several later runs: none within half the trusted time,
// every one by its end, and a part of them in between.
TEST(ContentCache, CopiesHashedTogetherComeDueApart) {
    const std::int64_t trust = engine::ContentCache::kTrustNanoseconds;
    const std::int64_t runs[] = {trust / 2 - 1, trust * 3 / 4, trust};
    int due[3] = {};
    for (int i = 0; i < 1000; ++i) {
        const std::string name = "dir\\file" + std::to_string(i) + ".dll";
        for (int run = 0; run < 3; ++run)
            due[run] += engine::ContentCache::Due(name, 0, runs[run], trust);
    }
    EXPECT_EQ(due[0], 0);
    EXPECT_GT(due[1], 300);
    EXPECT_LT(due[1], 700);
    EXPECT_EQ(due[2], 1000);
}

// A dropped name's copy that the cache knows is held to each of its contents by the SHA-256 the
// cache keeps, while the cache may be trusted; after that, by hashing it again.
TEST(ContentCache, KnowsACopyAmongADroppedNamesContents) {
    const std::string other = std::string(kContent).replace(0, 1, "T");
    const std::int64_t kHashed = 1'000'000'000'000'000'000;
    const std::int64_t trust = engine::ContentCache::kTrustNanoseconds;
    const struct {
        const char* what;
        std::vector<engine::ManifestRecord> contents;
        std::int64_t later;  // nanoseconds after the hashing
        bool holds;
    } cases[] = {
        {"its content among others", {RecordOf(other), RecordOf(kContent)}, 0, true},
        {"only another content of its size", {RecordOf(other)}, 0, false},
        {"its content, the cache due", {RecordOf(kContent)}, trust, true},
    };
    for (const auto& c : cases) {
        Dirs dirs;
        WriteFile(dirs.Copy(), kContent);
        ASSERT_TRUE(Holds(dirs, "Pelmora", 0, kHashed)) << c.what;
        engine::ContentCache cache(dirs.CacheDirectory(), dirs.Product(), 0, trust,
                                   kHashed + c.later);
        const std::string copy = dirs.Copy().string();
        EXPECT_EQ(cache.HoldsOneOf("a.txt", copy, *files::StampOf(copy.c_str()), c.contents),
                  c.holds)
            << c.what;
    }
}
