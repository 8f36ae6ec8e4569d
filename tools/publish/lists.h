// The two lists Kestrin reads from the server, Update/Version.txt and Update/File_list.txt:
// read here with Kestrin's own readers and rules, and written in the layout those readers take.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "framework/cstring.h"
#include "kestrin_config.h"

namespace publish {

// The product directory of a default installation, "C:\PRODUCT\SUBDIRECTORY\" by the build's
// names: the length that Kestrin's name rule allows for a listed name is counted from it. (A
// client installed in a longer directory refuses the longest names sooner.)
constexpr size_t kProductDirectoryLength =
    sizeof("C:\\" KESTRIN_UPDATE_PRODUCT "\\" KESTRIN_PRODUCT_SUBDIRECTORY "\\") - 1;

struct ReleaseVersion {
    CString number;  // Version.txt's second line
    CString letter;  // its third line
};

struct ListedFile {
    CString name;
    CString date;
};

// The release that a Version.txt announces, read as the version check reads it; nothing when
// there is no such file.
std::optional<ReleaseVersion> ReadVersionFile(const std::filesystem::path& path);
// The entries of a File_list.txt, read as the synchronisation reads them; nothing when there is
// no such file.
std::optional<std::vector<ListedFile>> ReadFileList(const std::filesystem::path& path);

// Version.txt: a first line of free text, then the number and the letter.
std::string VersionFileText(const CString& product, const ReleaseVersion& release);
// File_list.txt: each name followed by its date, YYYY-MM-DD.
std::string FileListText(const std::vector<ListedFile>& files);

}  // namespace publish
