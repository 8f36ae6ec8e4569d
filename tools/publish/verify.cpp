#include "verify.h"

#include <cstdio>
#include <ctime>

#include "engine/rules.h"
#include "lists.h"
#include "tree.h"

namespace publish {

namespace {

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

TreeCheck CheckTree(const std::filesystem::path& root, const net::P256PublicKey& key,
                    const engine::ManifestPolicy& policy) {
    TreeCheck check;
    TreeChecker checker(root, check);
    const std::optional<std::string> text = ReadWholeFile(checker.Update() / engine::kManifestName);
    const std::optional<std::string> signature =
        ReadWholeFile(checker.Update() / engine::kManifestSignatureName);
    if (!text || !signature) {
        checker.Problem(std::string("Update/") +
                        (text ? engine::kManifestSignatureName : engine::kManifestName) +
                        " is missing");
        return check;
    }
    engine::ManifestVerdict verdict = engine::CheckManifest(*text, *signature, key, policy);
    if (!verdict) {
        checker.Problem("the manifest is refused: " + verdict.reason);
        return check;
    }
    const engine::Manifest& manifest = *verdict.manifest;
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
    check.manifest = std::move(verdict.manifest);
    return check;
}

net::P256PublicKey PublicKeyArgument(const std::string& argument) {
    if (auto key = net::P256PublicKey::FromText(argument)) return std::move(*key);
    if (const std::optional<std::string> content = ReadWholeFile(argument)) {
        const CString text(engine::TrimListValue(*content));
        if (auto key = net::P256PublicKey::FromText(text)) return std::move(*key);
    }
    Refuse("\"" + argument +
           "\" is no public key, nor a file holding one: \"04\" and then 128 hexadecimal digits, "
           "as keygen prints it");
}

int Verify(const std::filesystem::path& root, const net::P256PublicKey& key,
           const std::optional<CString>& product) {
    engine::ManifestPolicy policy;
    policy.product = product;
    policy.now = std::time(nullptr);
    const TreeCheck check = CheckTree(root, key, policy);
    for (const std::string& problem : check.problems) std::printf("%s\n", problem.c_str());
    if (!check.problems.empty()) {
        std::printf("%s does not verify: %zu problem(s)\n", Shown(root).c_str(),
                    check.problems.size());
        return kExitFailed;
    }
    std::printf(
        "%s verifies: %s, serial %llu, expires %s, %zu files\n", Shown(root).c_str(),
        check.manifest->product.c_str(), static_cast<unsigned long long>(check.manifest->serial),
        engine::UtcInstantText(check.manifest->expires).c_str(), check.manifest->files.size());
    return 0;
}

}  // namespace publish
