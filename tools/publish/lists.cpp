#include "lists.h"

#include "engine/rules.h"
#include "framework/stdio_file.h"
#include "tree.h"

namespace publish {

namespace {

// Opens a list as Kestrin opens its temporary copy; false when there is none.
bool OpenList(CStdioFile& file, const std::filesystem::path& path) {
    if (file.Open(path.c_str(),
                  CStdioFile::modeRead | CStdioFile::typeText | CStdioFile::shareExclusive)) {
        return true;
    }
    if (!std::filesystem::exists(path)) return false;
    Fail("cannot read " + Shown(path));
}

}  // namespace

std::optional<ReleaseVersion> ReadVersionFile(const std::filesystem::path& path) {
    CStdioFile file;
    if (!OpenList(file, path)) return std::nullopt;
    CString freeText;
    ReleaseVersion release;
    file.ReadString(freeText);
    file.ReadString(release.number);
    file.ReadString(release.letter);
    return release;
}

std::optional<std::vector<ListedFile>> ReadFileList(const std::filesystem::path& path) {
    CStdioFile file;
    if (!OpenList(file, path)) return std::nullopt;
    std::optional<engine::FileList> list = engine::FileList::Read(file);
    if (!list) Fail(Shown(path) + " is larger than any list Kestrin reads");
    std::vector<ListedFile> files;
    engine::FileList::Entry entry;
    // An overlong entry is one Kestrin refuses, which no release file can be.
    while (list->Next(entry)) files.push_back({CString(entry.name), CString(entry.date)});
    return files;
}

// CR LF: the lists are read on Windows, where Notepad shows a lone line feed as nothing.
std::string VersionFileText(const CString& product, const ReleaseVersion& release) {
    return product + " " + release.number + release.letter + "\r\n" + release.number + "\r\n" +
           release.letter + "\r\n";
}

std::string FileListText(const std::vector<ListedFile>& files) {
    std::string text;
    for (const ListedFile& file : files) text += file.name + "\r\n" + file.date + "\r\n";
    return text;
}

}  // namespace publish
