// The file-list synchronisation: fetches the server's file list into the temporary directory
// and brings the product directory up to date with it, entry by entry in list order. A file
// is fetched when it is missing or was created before local midnight of its listed date.
// Names from the server are used only when they stay inside the product directory, and the
// download enters no link on the way below it; a refused name (or one on an overlong line) and
// a failed fetch are both shown as "Failed..." and the run goes on. A listed name may separate
// its subdirectories with backslashes or slashes; the server is asked with slashes. A run that
// cannot fetch or read the list at all says so in a message box rather than end without a word.
// A signed program fetches nothing unless the run's manifest is verified and the list matches
// it, and then only listed files that match their records; a listed name without a record
// fails like a refused one.
#include <vector>

#include "engine/rules.h"
#include "engine/server_release.h"
#include "engine/update_host.h"
#include "framework/dialog.h"
#include "framework/file_find.h"
#include "framework/stdio_file.h"
#include "net/remote_files.h"

namespace engine {

namespace {

constexpr const char* kRemoteFileList = "Update/File_list.txt";
constexpr const char* kRemoteDirectory = "Update/";
constexpr const char* kProductSubdirectory = "Pelmora\\";
constexpr const char* kServerError = "An error occured on the server.\nPlease try again latter.";

// Whether the local copy at localPath is missing or older than its listed date.
bool NeedsFetch(CFileFind& finder, const CString& localPath, const CString& date) {
    if (!finder.FindFile(localPath.c_str())) return true;
    finder.FindNextFile();
    FILETIME created{};
    if (!finder.GetCreationTime(&created)) return true;
    return IsOutdated(created, ListedTime(date));
}

// Reads this run's copy of the list; false when it cannot be opened or is larger than any list
// may be.
bool ReadList(const CString& path, CStringArray& names, CStringArray& dates,
              std::vector<bool>& overlong) {
    CStdioFile list;
    if (!list.Open(path.c_str(),
                   CStdioFile::modeRead | CStdioFile::typeText | CStdioFile::shareExclusive) ||
        list.GetLength() > kMaxListBytes) {
        return false;
    }
    ReadFileList(list, names, dates, overlong);
    return true;
}

}  // namespace

void UpdateFiles(IUpdateHost& host) {
    host.SetStatus("Checking file list");
    IRemoteFiles* connection = host.Connection();
    if (connection == nullptr) return;

    const CString tempDirectory = host.TempPath();
    if (tempDirectory.empty()) {
        host.ShowMessage(kServerError);
        return;
    }
    const CString listPath =
        PathInDirectory(tempDirectory, RunCopyName("File_list", ".txt").c_str());
    ServerRelease& release = host.Release();
    const Fetched fetched =
        release.Verify(host) ? release.Fetch(*connection, kFileListName, kRemoteFileList, listPath)
                             : Fetched::Refused;
    if (fetched == Fetched::Refused) {
        release.Refuse(host, true);
        return;
    }
    if (fetched == Fetched::Failed) {
        host.ShowMessage(kServerError);
        return;
    }
    CStringArray names;
    CStringArray dates;
    std::vector<bool> overlong;
    const bool read = ReadList(listPath, names, dates, overlong);
    // The copy is this run's own: no later run would ever overwrite it.
    DeleteFileA(listPath.c_str());
    if (!read) {
        host.ShowMessage(kServerError);
        return;
    }

    const CString productDirectory = host.InstallDirectory() + kProductSubdirectory;
    CProgressCtrl& progress = host.Progress();
    progress.SetPos(0);
    // Only the last level is made; when it cannot be, every fetch into it fails and says so.
    CreateDirectoryA(productDirectory.c_str(), nullptr);

    CFileFind finder;
    const std::ptrdiff_t count = names.GetSize();
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        const CString& name = names[i];
        const CString localPath = productDirectory + name;
        if (overlong[static_cast<size_t>(i)] || !IsSafeListedName(name, productDirectory.size()) ||
            !release.Covers(name)) {
            host.SetStatus("Updating..." + name);
            host.SetStatus("Failed..." + name);
        } else if (!NeedsFetch(finder, localPath, dates[i])) {
            host.SetStatus("Unchanged..." + name);
        } else {
            host.SetStatus("Updating..." + name);
            // The download makes the directories the file lies in below the product directory,
            // never through a link.
            const bool landed =
                release.Fetch(*connection, name, kRemoteDirectory + RemoteName(name), localPath,
                              productDirectory.c_str()) == Fetched::Landed;
            host.SetStatus((landed ? "Updated..." : "Failed...") + name);
        }
        progress.SetPos(ProgressPosition(i, count));
    }

    host.SetStatus("Completed- Press Cancel");
    progress.SetPos(0);
}

}  // namespace engine
