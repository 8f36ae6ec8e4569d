// What a release drops: every name the previous publication listed that this one does not keeps,
// in Update/Dropped.txt, the size and SHA-256 of the content clients were given under it, so that
// a signed Kestrin can remove its copy when the copy is still that content. The records are
// carried forward from release to release until --forget-dropped NAME, or until a release lists
// the name again.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/dropped_files.h"
#include "engine/manifest.h"
#include "framework/cstring.h"
#include "lists.h"

namespace publish {

// The dropped records of the publication in update: from its Dropped.txt when manifest (a
// verified one; null: there is none) records it; without a verified manifest, from a Dropped.txt
// that reads (the publisher's own, of a publication that was interrupted), with a note.
engine::DroppedFiles PreviousDropped(const std::filesystem::path& update,
                                     const engine::Manifest* manifest);

// The records of the new publication: previous, and each name of wasListed that released does
// not hold with the content served (what clients were given under a name; nothing when that
// is not known), less the names released lists again and those forgotten. Prints each name it
// drops or forgets; refuses a forgotten name that is not dropped.
engine::DroppedFiles NextDropped(
    engine::DroppedFiles previous, const std::vector<CString>& wasListed,
    const std::set<CString>& released,
    const std::function<std::optional<engine::ManifestRecord>(const CString&)>& served,
    const std::vector<std::string>& forgotten);

// The problems of the Dropped.txt in update that manifest records (and that matches its record),
// against the names listed (nothing when File_list.txt was not read): a text that does not read,
// a name Kestrin refuses, a name that is listed. None when the manifest records no Dropped.txt.
std::vector<std::string> DroppedProblems(const std::filesystem::path& update,
                                         const engine::Manifest& manifest,
                                         const std::optional<std::vector<ListedFile>>& listed);

}  // namespace publish
