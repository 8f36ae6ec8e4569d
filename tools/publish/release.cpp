#include "release.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <set>
#include <vector>

#include "dropped.h"
#include "engine/manifest.h"
#include "engine/rules.h"
#include "keys.h"
#include "history.h"
#include "lists.h"
#include "mistakes.h"
#include "prune.h"
#include "release_input.h"
#include "tree.h"
#include "verify.h"

namespace publish {

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr int kLongestExpiryDays = 3650;

// What SERVER_ROOT held before this publication.
struct PreviousPublication {
    enum class State {
        None,        // no lists, no manifest
        Unsigned,    // lists without a manifest: written by other means
        Signed,      // a complete publication signed with this key
        Unfinished,  // a manifest, but not a tree that verifies: interrupted, damaged or
                     // signed with another key
    } state = State::None;
    std::optional<ReleaseVersion> release;
    std::map<CString, CString> dates;  // name: listed date
    std::optional<engine::Manifest> manifest;
    std::uint64_t serial = 0;
    std::string why;  // Unfinished: the first problem found

    // The content that clients were given under name, when it is known for certain.
    std::optional<engine::ManifestRecord> Served(const fs::path& update,
                                                 const CString& name) const {
        if (state == State::Signed) {
            const engine::ManifestRecord* record = manifest->Find(name);
            return record ? std::optional(*record) : std::nullopt;
        }
        if (state == State::Unsigned) return HashFile(update / name);
        return std::nullopt;
    }

    // What it listed, where the content is known.
    std::vector<ListedContent> Listed(const fs::path& update) const {
        std::vector<ListedContent> listed;
        for (const auto& [name, date] : dates) {
            if (const auto record = Served(update, name)) listed.push_back({name, date, *record});
        }
        return listed;
    }
};

// Refuses a publication whose key cannot be told (its manifest or signature lost), unless the
// publisher moves to a new key on purpose or this tool's own interrupted run left it so.
void CheckVerifiable(const fs::path& update, const TreeCheck& check, bool lost, bool newKey,
                     bool unfinishedHere) {
    if (!lost || newKey || unfinishedHere) return;
    Refuse(Shown(update) + " holds a publication that cannot be verified (" +
           check.problems.front() +
           "), so a key other than the one that signed it would go unnoticed, and clients built "
           "with that key would refuse every release. Restore the lost file from a copy or a "
           "mirror and publish again; or give --new-key if the clients are to take this key "
           "from now on.");
}

PreviousPublication ReadPrevious(const ReleaseOptions& options, const net::P256PublicKey& key,
                                 bool unfinishedHere) {
    const fs::path update = options.to / "Update";
    PreviousPublication previous;
    previous.release = ReadVersionFile(update / engine::kVersionFileName);
    const auto listed = ReadFileList(update / engine::kFileListName);
    if (listed) {
        for (const ListedFile& file : *listed) previous.dates.emplace(file.name, file.date);
    }
    const std::optional<std::string> manifest = ReadWholeFile(update / engine::kManifestName);
    std::error_code error;
    const bool signature =
        fs::symlink_status(update / engine::kManifestSignatureName, error).type() !=
        fs::file_type::not_found;
    CString product = options.product;
    if (manifest) {
        if (const auto parsed = engine::ParseManifest(*manifest)) {
            previous.serial = parsed->serial;
            CheckSameProduct(options.product, parsed->product, options.newProduct);
            product = parsed->product;
        }
    }
    if (!manifest && !signature) {
        using enum PreviousPublication::State;
        previous.state = previous.release || listed ? Unsigned : None;
        return previous;
    }
    engine::ManifestPolicy policy;
    policy.product = product;
    policy.now = std::numeric_limits<std::int64_t>::min();  // an expired one is complete too
    TreeCheck check = CheckTree(options.to, &key, policy);
    CheckVerifiable(update, check,
                    !manifest || !signature || check.refused == engine::ManifestFault::Unsigned,
                    options.newKey, unfinishedHere);
    if (check.refused == engine::ManifestFault::BadSignature) {
        // Clients built with the key that signed it would refuse everything signed with this.
        if (!options.newKey) {
            Refuse(Shown(update) + " holds a publication that this key did not sign (" +
                   check.problems.front() +
                   "): clients that accept it would refuse this release. Sign with the key "
                   "that signed it, or give --new-key to move to this key on purpose.");
        }
        std::fprintf(stderr,
                     "note: %s was signed with another key; only clients built with this key "
                     "accept the new release\n",
                     Shown(update).c_str());
        check = CheckTree(options.to, nullptr, policy);
    }
    if (check.problems.empty()) {
        previous.state = PreviousPublication::State::Signed;
        previous.manifest = std::move(check.manifest);
    } else {
        previous.state = PreviousPublication::State::Unfinished;
        previous.why = check.problems.front();
    }
    return previous;
}

// The names, dates and content that files is to list.
std::vector<ListedContent> Listed(const std::vector<ReleaseFile>& files) {
    std::vector<ListedContent> listed;
    for (const ReleaseFile& file : files) listed.push_back({file.name, file.date, file.record});
    return listed;
}

void CheckNewer(const ReleaseVersion& release, const PreviousPublication& previous,
                const fs::path& update) {
    if (!previous.release) return;
    const ReleaseVersion& old = *previous.release;
    const bool newer =
        engine::IsNewerRelease(release.number, release.letter, old.number, old.letter);
    const bool same =
        !newer && !engine::IsNewerRelease(old.number, old.letter, release.number, release.letter);
    // Publishing the same release again finishes an interrupted publication of it.
    if (newer || (same && previous.state == PreviousPublication::State::Unfinished)) return;
    Refuse("release " + release.number + release.letter + " is not newer than " + old.number +
           old.letter + ", which " + Shown(update / engine::kVersionFileName) + " announces");
}

// Unchanged files keep their listed date, so that clients do not fetch them again; the others
// take newDate. A changed file must be listed with a later date than before: a client that
// fetched the old copy on or after the old date would keep it for good.
void DateFiles(std::vector<ReleaseFile>& files, const PreviousPublication& previous,
               const fs::path& update, const CString& newDate) {
    const std::optional<std::int64_t> newTime = engine::ListedTime(newDate);
    std::string late;
    CString earliest;
    std::int64_t earliestTime = 0;
    for (ReleaseFile& file : files) {
        const auto listed = previous.dates.find(file.name);
        const auto served =
            listed != previous.dates.end() ? previous.Served(update, file.name) : std::nullopt;
        if (served && served->Matches(file.record.size, file.record.sha256)) {
            file.date = listed->second;
            file.change = Change::Unchanged;
            continue;
        }
        file.date = newDate;
        file.change = listed == previous.dates.end() ? Change::New : Change::Changed;
        if (file.change == Change::New) continue;
        const std::optional<std::int64_t> oldTime = engine::ListedTime(listed->second);
        if (oldTime && newTime && *newTime <= *oldTime) {
            late += "\n  " + file.name + " (listed " + listed->second + ")";
            const CString next = DayAfter(*oldTime);
            const std::int64_t nextTime = engine::ListedTime(next).value_or(0);
            if (nextTime > earliestTime) {
                earliest = next;
                earliestTime = nextTime;
            }
        }
    }
    if (!late.empty()) {
        Refuse("changed files would be listed with " + newDate +
               ", which is not later than their date before; a client that fetched one of them "
               "on or after that date would keep its old copy:" +
               late + "\nNothing was written. Publish with --date " + earliest + " or later.");
    }
}

// What the release drops, with what earlier releases dropped (tools/publish/dropped.h).
engine::DroppedFiles DroppedBy(const std::vector<ReleaseFile>& files,
                               const PreviousPublication& previous, const fs::path& update,
                               const ReleaseOptions& options) {
    std::set<CString> released;
    for (const ReleaseFile& file : files) released.insert(file.name);
    std::vector<CString> wasListed;
    for (const auto& listed : previous.dates) wasListed.push_back(listed.first);
    return NextDropped(
        PreviousDropped(update, previous.manifest ? &*previous.manifest : nullptr), wasListed,
        released, [&](const CString& name) { return previous.Served(update, name); },
        options.forgotten);
}

engine::ManifestRecord RecordOf(std::string_view content) {
    const std::optional<net::Sha256Digest> digest = net::Sha256::Of(content);
    if (!digest) Fail("cannot hash the lists");
    return {content.size(), *digest};
}

const char* ChangeText(Change change) {
    switch (change) {
        case Change::New:
            return "new";
        case Change::Changed:
            return "changed";
        case Change::Unchanged:
            return "unchanged";
    }
    return "";
}

void CheckExpiryDays(int days) {
    if (days < 1 || days > kLongestExpiryDays) {
        Refuse("--expires-days: from 1 to " + std::to_string(kLongestExpiryDays));
    }
}

struct SigningKey {
    PrivateKey privateKey;
    net::P256PublicKey publicKey;
};

SigningKey LoadSigningKey(const fs::path& path) {
    PrivateKey privateKey = PrivateKey::Load(path);
    std::optional<net::P256PublicKey> publicKey =
        net::P256PublicKey::FromText(privateKey.PublicKeyText());
    if (!publicKey) Fail("the system's cryptography does not take the key's public half");
    return {std::move(privateKey), std::move(*publicKey)};
}

// A manifest's serial grows with every publication: the time of publication, or the last
// serial and one when that is higher.
std::uint64_t NextSerial(std::uint64_t previous, std::int64_t now) {
    if (previous == std::numeric_limits<std::uint64_t>::max()) {
        Refuse("the serial of the manifest in the server root is the highest there is");
    }
    return std::max<std::uint64_t>(previous + 1, static_cast<std::uint64_t>(now));
}

// The old signature goes first: a tree left half-written by an interruption never verifies,
// and the next run sees that it was.
void RemoveSignature(const fs::path& update) {
    std::error_code error;
    fs::remove(update / engine::kManifestSignatureName, error);
    if (error) Fail("cannot remove the old signature: " + error.message());
}

// Reads the written tree back as Kestrin will: a file that changed while it was copied shows
// here, and the signature is removed again.
TreeCheck CheckWritten(const fs::path& root, const net::P256PublicKey& key, const CString& product,
                       std::int64_t now) {
    engine::ManifestPolicy policy;
    policy.product = product;
    policy.now = now;
    TreeCheck check = CheckTree(root, &key, policy);
    if (!check.problems.empty()) {
        std::error_code error;
        fs::remove(root / "Update" / engine::kManifestSignatureName, error);
        for (const std::string& problem : check.problems) {
            std::fprintf(stderr, "%s\n", problem.c_str());
        }
        Fail("the published tree does not verify; its signature was removed. Publish again.");
    }
    return check;
}

}  // namespace

int Release(const ReleaseOptions& options) {
    if (options.product.empty() || HasControlCharacter(options.product)) {
        Refuse("--product: a name without control characters");
    }
    CheckExpiryDays(options.expiresDays);
    const ReleaseVersion release = ParseVersion(options.version);
    const CString newDate = options.date ? CheckedDate(*options.date) : Today();
    const SigningKey key = LoadSigningKey(options.key);

    std::vector<ReleaseFile> files = ListRelease(options.from, options.allow8bitNames);
    for (ReleaseFile& file : files) {
        const std::optional<engine::ManifestRecord> record = HashFile(options.from / file.name);
        if (!record) Fail(Shown(options.from / file.name) + " went away");
        file.record = *record;
    }

    const fs::path update = options.to / "Update";
    const std::string keyText = key.privateKey.PublicKeyText();
    const PreviousPublication previous =
        ReadPrevious(options, key.publicKey, IsUnfinishedWith(update, keyText));
    CheckLetterCase(release, previous.release);
    CheckNewer(release, previous, update);
    DateFiles(files, previous, update, newDate);
    DateHistory history = DateHistory::Read(options.to);
    history.Record(previous.Listed(update));
    history.CheckReused(Listed(files));
    const std::string droppedText =
        engine::DroppedFilesText(DroppedBy(files, previous, update, options));
    if (previous.state == PreviousPublication::State::Unfinished) {
        std::fprintf(stderr,
                     "note: %s holds no complete publication signed with this key (%s); every "
                     "file is listed as new or changed\n",
                     Shown(update).c_str(), previous.why.c_str());
    }
    if (const auto newTime = engine::ListedTime(newDate);
        newTime && *newTime > std::time(nullptr)) {
        std::fprintf(stderr,
                     "note: until %s, clients fetch the new and changed files again at every "
                     "run\n",
                     newDate.c_str());
    }

    // Everything is known before the tree changes: the lists, the manifest, its signature.
    std::vector<ListedFile> listed;
    for (const ReleaseFile& file : files) listed.push_back({file.name, file.date});
    const std::string versionText = VersionFileText(options.product, release);
    const std::string listText = FileListText(listed);
    const std::int64_t now = std::time(nullptr);
    engine::Manifest manifest;
    manifest.product = options.product;
    manifest.serial = NextSerial(previous.serial, now);
    manifest.expires = now + options.expiresDays * kSecondsPerDay;
    manifest.files.emplace_back(engine::kVersionFileName, RecordOf(versionText));
    manifest.files.emplace_back(engine::kFileListName, RecordOf(listText));
    manifest.files.emplace_back(engine::kDroppedListName, RecordOf(droppedText));
    for (const ReleaseFile& file : files) manifest.files.emplace_back(file.name, file.record);
    const std::string manifestText = engine::ManifestText(manifest);
    const std::string signature = key.privateKey.Sign(manifestText);

    // The new signature comes last.
    std::error_code error;
    fs::create_directories(update, error);
    if (error) Fail("cannot create " + Shown(update) + ": " + error.message());
    RemoveLeftovers(update);
    MarkUnfinished(update, keyText);
    RemoveSignature(update);
    WriteFileAtomically(update / engine::kManifestName, manifestText);
    for (const ReleaseFile& file : files) {
        const fs::path target = update / file.name;
        fs::create_directories(target.parent_path(), error);
        if (error) Fail("cannot create " + Shown(target.parent_path()) + ": " + error.message());
        const std::optional<engine::ManifestRecord> present = HashFile(target);
        if (!present || !present->Matches(file.record.size, file.record.sha256)) {
            CopyFileAtomically(options.from / file.name, target);
        }
        std::printf("%-9s %s  %s\n", ChangeText(file.change), file.date.c_str(), file.name.c_str());
    }
    WriteFileAtomically(update / engine::kDroppedListName, droppedText);
    WriteFileAtomically(update / engine::kFileListName, listText);
    WriteFileAtomically(update / engine::kVersionFileName, versionText);
    WriteFileAtomically(update / engine::kManifestSignatureName, signature);

    TreeCheck check = CheckWritten(options.to, key.publicKey, options.product, now);
    ClearUnfinished(update);
    std::erase(check.strays, kUnfinishedMark);
    history.Record(Listed(files));
    history.Write(options.to);
    if (options.prune) {
        PruneStrays(update, check.strays);
    } else {
        WarnOfStrays(check.strays);
    }
    std::printf("published %s %s%s in %s: serial %llu, expires %s\n", options.product.c_str(),
                release.number.c_str(), release.letter.c_str(), Shown(update).c_str(),
                static_cast<unsigned long long>(manifest.serial),
                engine::UtcInstantText(manifest.expires).c_str());
    return 0;
}

int Refresh(const RefreshOptions& options) {
    CheckExpiryDays(options.expiresDays);
    const SigningKey key = LoadSigningKey(options.key);
    const fs::path update = options.to / "Update";
    engine::ManifestPolicy policy;
    policy.now = std::numeric_limits<std::int64_t>::min();  // an expired one is refreshed too
    const TreeCheck check = CheckTree(options.to, &key.publicKey, policy);
    RefuseUnsound(check, Shown(update) +
                             " holds no complete publication signed with this key; refresh signs "
                             "only such a one again (publish with release)");
    engine::Manifest manifest = *check.manifest;
    const std::int64_t now = std::time(nullptr);
    manifest.serial = NextSerial(manifest.serial, now);
    manifest.expires = now + options.expiresDays * kSecondsPerDay;
    const std::string manifestText = engine::ManifestText(manifest);
    const std::string signature = key.privateKey.Sign(manifestText);

    RemoveLeftovers(update);
    MarkUnfinished(update, key.privateKey.PublicKeyText());
    RemoveSignature(update);
    WriteFileAtomically(update / engine::kManifestName, manifestText);
    WriteFileAtomically(update / engine::kManifestSignatureName, signature);
    TreeCheck written = CheckWritten(options.to, key.publicKey, manifest.product, now);
    ClearUnfinished(update);
    std::erase(written.strays, kUnfinishedMark);
    WarnOfStrays(written.strays);
    std::printf("signed %s again in %s: serial %llu, expires %s\n", manifest.product.c_str(),
                Shown(update).c_str(), static_cast<unsigned long long>(manifest.serial),
                engine::UtcInstantText(manifest.expires).c_str());
    return 0;
}

}  // namespace publish
