#include "dropped.h"

#include <algorithm>
#include <cstdio>

#include "engine/rules.h"
#include "lists.h"
#include "tree.h"

namespace publish {

engine::DroppedFiles PreviousDropped(const std::filesystem::path& update,
                                     const engine::Manifest* manifest) {
    const std::filesystem::path path = update / engine::kDroppedListName;
    if (manifest != nullptr && manifest->Find(engine::kDroppedListName) == nullptr) return {};
    const std::optional<std::string> text = ReadWholeFile(path);
    if (!text) return {};
    // A verified manifest's record was checked with the tree.
    std::optional<engine::DroppedFiles> dropped = engine::ParseDroppedFiles(*text);
    if (!dropped) {
        std::fprintf(stderr, "note: %s does not read; the names it recorded are not carried\n",
                     Shown(path).c_str());
        return {};
    }
    if (manifest == nullptr) {
        std::fprintf(stderr, "note: the names that %s records as dropped are carried forward\n",
                     Shown(path).c_str());
    }
    return std::move(*dropped);
}

engine::DroppedFiles NextDropped(
    engine::DroppedFiles previous, const std::vector<CString>& wasListed,
    const std::set<CString>& released,
    const std::function<std::optional<engine::ManifestRecord>(const CString&)>& served,
    const std::vector<std::string>& forgotten) {
    std::set<CString> releasedKeys;
    for (const CString& name : released) releasedKeys.insert(engine::NameKey(name));
    for (const CString& name : wasListed) {
        if (releasedKeys.contains(engine::NameKey(name))) continue;
        const std::optional<engine::ManifestRecord> content = served(name);
        if (!content) {
            std::fprintf(stderr,
                         "note: what clients were given as %s is not known; it is not recorded "
                         "as dropped\n",
                         name.c_str());
            continue;
        }
        std::vector<engine::ManifestRecord>& contents = previous[name];
        if (std::none_of(contents.begin(), contents.end(), [&](const engine::ManifestRecord& c) {
                return c.Matches(content->size, content->sha256);
            })) {
            contents.push_back(*content);
        }
        std::printf("dropped   %s\n", name.c_str());
    }
    std::erase_if(previous, [&](const auto& record) {
        return releasedKeys.contains(engine::NameKey(record.first));
    });
    for (const std::string& name : forgotten) {
        if (previous.erase(CString(name)) == 0) {
            Refuse("--forget-dropped " + name + ": no dropped name is recorded so");
        }
        std::printf("forgotten %s\n", name.c_str());
    }
    return previous;
}

std::vector<std::string> DroppedProblems(const std::filesystem::path& update,
                                         const engine::Manifest& manifest,
                                         const std::optional<std::vector<ListedFile>>& listed) {
    if (manifest.Find(engine::kDroppedListName) == nullptr) return {};
    const std::optional<std::string> text = ReadWholeFile(update / engine::kDroppedListName);
    if (!text) return {};
    CString reason;
    const std::optional<engine::DroppedFiles> dropped = engine::ParseDroppedFiles(*text, &reason);
    if (!dropped) return {"Update/Dropped.txt does not read: " + reason};
    std::set<CString> listedKeys;
    for (const ListedFile& file : listed.value_or(std::vector<ListedFile>())) {
        listedKeys.insert(engine::NameKey(file.name));
    }
    std::vector<std::string> problems;
    for (const auto& [name, contents] : *dropped) {
        if (!engine::IsSafeListedName(name, kProductDirectoryLength)) {
            problems.push_back("Update/Dropped.txt records \"" + name +
                               "\", a name that Kestrin refuses");
        } else if (listedKeys.contains(engine::NameKey(name))) {
            problems.push_back("Update/Dropped.txt records \"" + name +
                               "\", which File_list.txt lists");
        }
    }
    return problems;
}

}  // namespace publish
