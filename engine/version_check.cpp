// The version check: fetches the server's version file into the temporary directory, compares
// its release with the installed one from the settings, and tells the user. A silent check
// speaks only to announce a newer release. A signed program reads the version file only once
// the run's manifest is verified and the file matches it; a silent check does not say when it
// cannot verify the release (the Update button's synchronisation, which follows it, does).
#include "engine/rules.h"
#include "engine/server_release.h"
#include "engine/run_context.h"
#include "framework/diag_log.h"
#include "framework/stdio_file.h"
#include "kestrin_config.h"
#include "settings/settings_store.h"

namespace engine {

namespace {

constexpr const char* kRemoteVersionFile = "Update/Version.txt";

// A value as a C string would carry it into the message: up to its first zero byte.
CString AsText(const CString& value) {
    return CString(value.c_str());
}

}  // namespace

void CheckVersion(RunContext& run, bool interactive) {
    IRunView& view = *run.view;
    view.SetStatus("Checking version");
    if (run.transport == nullptr) return;

    const CString& tempDirectory = run.tempDirectory;
    if (tempDirectory.empty()) {
        if (interactive) view.ShowMessage("Could not locate your window temp file");
        return;
    }
    const CString localName = RunCopyName("Version", ".txt");
    const CString localPath = PathInDirectory(tempDirectory, localName.c_str());

    ServerRelease& release = run.release;
    const Fetched fetched = release.FetchRunCopy(run, kVersionFileName, kRemoteVersionFile,
                                                 localName, kMaxVersionFileBytes);
    // A fetch the user cancelled says nothing more.
    if (fetched != Fetched::Landed && Stopped(run)) return;
    if (fetched == Fetched::Refused) {
        release.Refuse(view, interactive);
        return;
    }
    if (fetched == Fetched::Failed) {
        if (interactive) {
            view.ShowMessage("An error occured on the server.\nPlease try again latter.");
        }
        return;
    }

    CStdioFile file;
    if (!file.Open(localPath.c_str(),
                   CStdioFile::modeRead | CStdioFile::typeText | CStdioFile::shareExclusive)) {
        if (interactive) {
            view.ShowMessage(
                "The system could not read the file on your PC\nPlease ensure that you have "
                "'Read access' to your temp directory\n");
        }
        return;
    }

    // A line the file does not have reads as empty.
    CString line;
    CString serverNumber;
    CString serverLetter;
    file.ReadString(line);
    file.ReadString(serverNumber);
    file.ReadString(serverLetter);

    const CString installedNumber = run.settings->ReadSetting("Update", "VersionA", "1");
    const CString installedLetter = run.settings->ReadSetting("Update", "VersionB", "A");
    const CString home = run.settings->ReadSetting("Web", "Home", KESTRIN_HOME_URL);

    const bool newer = IsNewerRelease(serverNumber, serverLetter, installedNumber, installedLetter);
    diag::Log("release on the server ", serverNumber, serverLetter, ", installed ", installedNumber,
              installedLetter, ": ", newer ? "newer" : "current");
    if (newer) {
        view.ShowMessage("You are currently version " + AsText(installedNumber) +
                         AsText(installedLetter) + ",\na new version, " + AsText(serverNumber) +
                         AsText(serverLetter) + ", is available.\nPlease go to " + AsText(home) +
                         " for the latest version.");
    } else if (interactive) {
        // Misspelt as the product has always shown it.
        view.ShowMessage("You are currently using the lattest version");
    }

    file.Close();
    DeleteFileA(localPath.c_str());
}

}  // namespace engine
