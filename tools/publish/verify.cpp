#include "verify.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>

#include "dropped.h"
#include "engine/rules.h"
#include "keys.h"
#include "lists.h"
#include "prune.h"
#include "tree.h"

namespace publish {

namespace {

// verify warns when the manifest expires sooner than this.
constexpr int kExpiryWarningDays = 14;

class TreeChecker {
  public:
    TreeChecker(const std::filesystem::path& root, TreeCheck& check)
        : m_update(root / "Update"), m_check(check) {}

    void Problem(std::string text) { m_check.problems.push_back(std::move(text)); }

    // Whether the file served under name matches its record in the manifest.
    bool Matches(const engine::Manifest& manifest, const CString& name) {
        const std::string shown = "Update/" + name;
        const engine::ManifestRecord* record = manifest.Find(name);
        if (record == nullptr) {
            Problem(shown + " has no record in the manifest");
            return false;
        }
        const std::optional<engine::ManifestRecord> actual = HashFile(m_update / name);
        if (!actual) {
            Problem(shown + " is missing");
        } else if (actual->size != record->size) {
            Problem(shown + " has " + std::to_string(actual->size) + " bytes, the manifest says " +
                    std::to_string(record->size));
        } else if (!record->Matches(actual->size, actual->sha256)) {
            Problem(shown + " does not have the SHA-256 that the manifest gives");
        } else {
            return true;
        }
        return false;
    }

    const std::filesystem::path& Update() const { return m_update; }

  private:
    std::filesystem::path m_update;
    TreeCheck& m_check;
};

}  // namespace

std::vector<std::string> StrayFiles(const std::filesystem::path& update,
                                    const std::vector<ListedFile>& listed) {
    std::set<std::string> known = {engine::kManifestName, engine::kManifestSignatureName,
                                   engine::kVersionFileName, engine::kFileListName};
    for (const ListedFile& file : listed) known.insert(file.name);
    std::vector<std::string> strays;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(update, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error)) continue;
        std::string name = it->path().lexically_relative(update).generic_string();
        if (!known.contains(name)) strays.push_back(std::move(name));
    }
    if (error) Fail("cannot read " + Shown(update) + ": " + error.message());
    std::sort(strays.begin(), strays.end());
    return strays;
}

TreeCheck CheckTree(const std::filesystem::path& root, const net::P256PublicKey* key,
                    const engine::ManifestPolicy& policy) {
    TreeCheck check;
    TreeChecker checker(root, check);
    const std::optional<std::string> text = ReadWholeFile(checker.Update() / engine::kManifestName);
    const std::optional<std::string> signature =
        ReadWholeFile(checker.Update() / engine::kManifestSignatureName);
    if (!text || (key && !signature)) {
        checker.Problem(std::string("Update/") +
                        (text ? engine::kManifestSignatureName : engine::kManifestName) +
                        " is missing");
        return check;
    }
    std::optional<engine::Manifest> read;
    if (key) {
        engine::ManifestVerdict verdict = engine::CheckManifest(*text, *signature, *key, policy);
        if (!verdict) {
            checker.Problem("the manifest is refused: " + verdict.reason);
            check.refused = verdict.fault;
            return check;
        }
        read = std::move(verdict.manifest);
    } else {
        CString reason;
        read = engine::ParseManifest(*text, &reason);
        if (!read || (policy.product && read->product != *policy.product)) {
            checker.Problem("the manifest is refused: " + (read ? "another product" : reason));
            return check;
        }
    }
    const engine::Manifest& manifest = *read;
    checker.Matches(manifest, engine::kVersionFileName);
    const auto listed = checker.Matches(manifest, engine::kFileListName)
                            ? ReadFileList(checker.Update() / engine::kFileListName)
                            : std::nullopt;
    for (const ListedFile& file : listed.value_or(std::vector<ListedFile>())) {
        if (!engine::IsSafeListedName(file.name, kProductDirectoryLength)) {
            checker.Problem("File_list.txt lists \"" + file.name +
                            "\", a name that Kestrin refuses");
        } else {
            checker.Matches(manifest, file.name);
        }
    }
    if (manifest.Find(engine::kDroppedListName) &&
        checker.Matches(manifest, engine::kDroppedListName)) {
        for (std::string& problem : DroppedProblems(checker.Update(), manifest, listed)) {
            checker.Problem(std::move(problem));
        }
    }
    if (listed) check.strays = StrayFiles(checker.Update(), *listed);
    if (manifest.Find(engine::kDroppedListName)) {
        std::erase(check.strays, std::string(engine::kDroppedListName));
    }
    check.manifest = std::move(read);
    return check;
}

net::P256PublicKey PublicKeyArgument(const std::string& argument) {
    if (auto key = net::P256PublicKey::FromText(argument)) return std::move(*key);
    if (const std::optional<std::string> content = ReadWholeFile(argument)) {
        const CString text(
            PublicKeyTextOfPem(*content).value_or(CString(engine::TrimListValue(*content))));
        if (auto key = net::P256PublicKey::FromText(text)) return std::move(*key);
    }
    Refuse("\"" + argument +
           "\" is no public key, nor a file holding one: \"04\" and then 128 hexadecimal digits, "
           "as keygen prints it, or a P-256 public key in PEM");
}

int Verify(const std::filesystem::path& root, const net::P256PublicKey& key,
           const std::optional<CString>& product, bool strict) {
    engine::ManifestPolicy policy;
    policy.product = product;
    policy.now = std::time(nullptr);
    TreeCheck check = CheckTree(root, &key, policy);
    if (strict) {
        for (const std::string& stray : check.strays) {
            check.problems.push_back(
                "Update/" + stray + " is served but not listed (kestrin-publish prune removes it)");
        }
    } else {
        WarnOfStrays(check.strays);
    }
    for (const std::string& problem : check.problems) std::printf("%s\n", problem.c_str());
    if (!check.problems.empty()) {
        std::printf("%s does not verify: %zu problem(s)\n", Shown(root).c_str(),
                    check.problems.size());
        return kExitFailed;
    }
    const engine::Manifest& manifest = *check.manifest;
    std::printf("%s verifies: %s, serial %llu, expires %s, %zu files\n", Shown(root).c_str(),
                manifest.product.c_str(), static_cast<unsigned long long>(manifest.serial),
                engine::UtcInstantText(manifest.expires).c_str(), manifest.files.size());
    if (manifest.expires - policy.now < std::int64_t{kExpiryWarningDays} * 86400) {
        std::fprintf(stderr,
                     "warning: the manifest expires in less than %d days, at %s: from then on "
                     "every client refuses the release. Sign it again with kestrin-publish "
                     "refresh, or publish a release.\n",
                     kExpiryWarningDays, engine::UtcInstantText(manifest.expires).c_str());
    }
    return 0;
}

void RefuseUnsound(const TreeCheck& check, const std::string& refusal) {
    if (check.problems.empty()) return;
    for (const std::string& problem : check.problems) std::fprintf(stderr, "%s\n", problem.c_str());
    Refuse(refusal);
}

}  // namespace publish
