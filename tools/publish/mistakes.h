// The publisher's mistakes that a release would otherwise carry to every client: each is
// refused (exit status 2) with what is wrong and how to put it right, before anything is
// written.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "framework/cstring.h"
#include "lists.h"

namespace publish {

// A key file or key directory that another user could replace: one not owned by this user, or
// one below a directory that others can write without the sticky bit (which lets only a file's
// owner rename or remove it).
void CheckKeyPlace(const std::filesystem::path& path);

// --product against the product of the previous publication (none: a first publication).
// Clients compare the product byte for byte, so any difference, case included, makes them
// refuse every release; refused unless newProduct says the change is meant.
void CheckSameProduct(const CString& product, const std::optional<CString>& previous,
                      bool newProduct);

// A lower-case release letter, unless the previous publication already used one: the version
// check compares letters by their code, so every lower-case letter is newer than every
// upper-case one.
void CheckLetterCase(const ReleaseVersion& release, const std::optional<ReleaseVersion>& previous);

// Names, folded to one case, of which one is a directory of another ("Data" beside
// "data/x.bin"): on a system that folds case only one of them can land.
void CheckFoldedDirectories(const std::vector<CString>& names);

// This tool's own mark of a publication that it began to write under update with a key (the old
// signature goes first): the next run tells its own interrupted run from a lost file by it.
// The name begins as a temporary file's: the next run removes it as a leftover.
constexpr char kUnfinishedMark[] = ".kestrin-publish-unfinished";
void MarkUnfinished(const std::filesystem::path& update, const std::string& keyText);
bool IsUnfinishedWith(const std::filesystem::path& update, const std::string& keyText);
void ClearUnfinished(const std::filesystem::path& update);

}  // namespace publish
