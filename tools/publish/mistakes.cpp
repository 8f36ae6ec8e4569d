#include "mistakes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "tree.h"

namespace publish {

namespace {

bool IsLowerCase(const CString& letter) {
    return letter.size() == 1 && letter[0] >= 'a' && letter[0] <= 'z';
}

struct stat StatusOf(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) Fail("cannot read " + Shown(path));
    return st;
}

}  // namespace

void CheckKeyPlace(const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) Fail("cannot find " + Shown(path) + ": " + error.message());
    const uid_t user = ::geteuid();
    // The key (once it exists) and its own directory must be this user's; no directory above
    // may let another user swap them.
    const bool exists = std::filesystem::symlink_status(absolute, error).type() !=
                        std::filesystem::file_type::not_found;
    for (const std::filesystem::path& owned : {absolute, absolute.parent_path()}) {
        if ((exists || owned != absolute) && StatusOf(owned).st_uid != user) {
            Refuse(Shown(owned) +
                   " belongs to another user, who could replace the key: keep the key in a "
                   "directory of your own (made with keygen), with files of your own");
        }
    }
    for (std::filesystem::path above = absolute.parent_path();; above = above.parent_path()) {
        const struct stat st = StatusOf(above);
        const bool othersWrite = (st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0;
        if (othersWrite || (st.st_uid != user && st.st_uid != 0)) {
            Refuse(Shown(above) + " can be changed by other users, who could replace " +
                   Shown(path) +
                   " through it: move the key below directories that only you (or the system) "
                   "can write, or chmod go-w " +
                   Shown(above));
        }
        if (above == above.parent_path()) break;
    }
}

void CheckSameProduct(const CString& product, const std::optional<CString>& previous,
                      bool newProduct) {
    if (!previous || *previous == product || newProduct) return;
    Refuse("--product " + product +
           " is not the product of the publication in the server root, \"" + *previous +
           "\": clients compare it byte for byte, case included, and would refuse every release. "
           "Give --product " +
           *previous +
           ", or --new-product if this server root is to serve another product "
           "from now on (clients built for \"" +
           *previous + "\" then refuse it). Nothing was written.");
}

void CheckLetterCase(const ReleaseVersion& release, const std::optional<ReleaseVersion>& previous) {
    if (!IsLowerCase(release.letter) || (previous && IsLowerCase(previous->letter))) return;
    std::string upper = release.number + release.letter;
    upper.back() = static_cast<char>(upper.back() - 'a' + 'A');
    Refuse("--version " + release.number + release.letter +
           ": the release letter is lower case. The version check compares letters by their "
           "code, so every lower-case letter counts as newer than every upper-case one: after " +
           release.number + release.letter + ", " + release.number + "A to " + release.number +
           "Z would be refused as not newer. Give --version " + upper + ".");
}

void CheckFoldedDirectories(const std::vector<CString>& names) {
    std::set<std::string> directories;
    for (const CString& name : names) {
        const std::string folded = Folded(name);
        for (size_t slash = folded.find('/'); slash != std::string::npos;
             slash = folded.find('/', slash + 1)) {
            directories.insert(folded.substr(0, slash));
        }
    }
    for (const CString& name : names) {
        if (directories.contains(Folded(name))) {
            Refuse("\"" + name +
                   "\" is a file, and, case aside, a directory of another file of the release: "
                   "on a system that folds case only one of them can land. Rename one of them.");
        }
    }
}

void MarkUnfinished(const std::filesystem::path& update, const std::string& keyText) {
    WriteFileAtomically(update / kUnfinishedMark, keyText + "\n");
}

bool IsUnfinishedWith(const std::filesystem::path& update, const std::string& keyText) {
    return ReadWholeFile(update / kUnfinishedMark) == keyText + "\n";
}

void ClearUnfinished(const std::filesystem::path& update) {
    std::error_code error;
    std::filesystem::remove(update / kUnfinishedMark, error);
    if (error) Fail("cannot remove " + Shown(update / kUnfinishedMark) + ": " + error.message());
}

}  // namespace publish
