#include "prune.h"

#include <cstdio>
#include <limits>

#include "engine/manifest.h"
#include "lists.h"
#include "tree.h"
#include "verify.h"

namespace publish {

namespace fs = std::filesystem;

void WarnOfStrays(const std::vector<std::string>& strays) {
    for (const std::string& stray : strays) {
        std::fprintf(stderr,
                     "warning: Update/%s is served but not listed (kestrin-publish prune removes "
                     "it)\n",
                     stray.c_str());
    }
}

void PruneStrays(const fs::path& update, const std::vector<std::string>& strays) {
    for (const std::string& stray : strays) {
        fs::path path = update / stray;
        std::error_code error;
        fs::remove(path, error);
        if (error) Fail("cannot remove " + Shown(path) + ": " + error.message());
        std::printf("removed   Update/%s\n", stray.c_str());
        // fs::remove leaves a directory that is not empty.
        for (path = path.parent_path(); path != update && fs::is_empty(path, error) && !error;
             path = path.parent_path()) {
            fs::remove(path, error);
        }
    }
}

int Prune(const fs::path& root) {
    const fs::path update = root / "Update";
    std::vector<std::string> strays;
    if (ReadWholeFile(update / engine::kManifestName)) {
        // Only the manifest is read, not its signature: the publisher's own tree.
        engine::ManifestPolicy policy;
        policy.now = std::numeric_limits<std::int64_t>::min();
        const TreeCheck check = CheckTree(root, nullptr, policy);
        RefuseUnsound(check, Shown(root) +
                                 " does not hold a sound publication, so what it lists is not "
                                 "known: publish it again (release --prune), then prune");
        strays = check.strays;
    } else {
        const auto listed = ReadFileList(update / engine::kFileListName);
        if (!listed || !ReadVersionFile(update / engine::kVersionFileName)) {
            Refuse(Shown(update) +
                   " holds no Version.txt and File_list.txt: nothing is known "
                   "to be part of the publication, so nothing is removed");
        }
        strays = StrayFiles(update, *listed);
    }
    PruneStrays(update, strays);
    std::printf("%s: %zu stray file(s) removed\n", Shown(root).c_str(), strays.size());
    return 0;
}

}  // namespace publish
