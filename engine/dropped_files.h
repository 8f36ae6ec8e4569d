// The files a signed release no longer lists. The publisher keeps, in the served file
// Update/Dropped.txt (recorded in the manifest like any served file, so the signature covers it),
// every content it ever published under a name that a later release dropped. A signed program,
// once the listed files are done, removes a regular file at such a name only when its size and
// SHA-256 are one of those contents: a file the user made or changed, a directory, a link, or a
// name the list still lists is left as it is and not mentioned. Programs built before Dropped.txt
// existed never ask for it; a program without a key removes nothing.
//
// Dropped.txt is text, one record a line, each line ending in a line feed (a carriage return
// before it is allowed):
//   kestrin-dropped 1
//   dropped SIZE SHA256 NAME
// the format line first, then one line for each content of each dropped name, NAME the rest of
// the line exactly as File_list.txt listed it; no line twice.
#pragma once

#include <map>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/manifest.h"
#include "framework/cstring.h"
#include "platform/win32api.h"

namespace engine {

class ContentCache;
class FileList;
class IRunView;
struct RunContext;

inline constexpr char kDroppedListName[] = "Dropped.txt";
// Far more than any publication's records need; a larger Dropped.txt is not received.
inline constexpr ULONGLONG kMaxDroppedListBytes = 64 * 1024 * 1024;

// Each dropped name (as listed, "/" or "\" between directories) with the contents published
// under it.
using DroppedFiles = std::map<CString, std::vector<ManifestRecord>>;

// The records of a Dropped.txt; nothing, with the reason, when the text has another form.
std::optional<DroppedFiles> ParseDroppedFiles(std::string_view text, CString* reason = nullptr);
// The text of Dropped.txt, in the form ParseDroppedFiles reads.
CString DroppedFilesText(const DroppedFiles& dropped);

// A name as the file system compares it: either separator, letters of either case. A dropped
// name that is one of the listed names by this key is never removed.
CString NameKey(std::string_view name);

// How a dropped file is removed; the program's removes by the landing's rules (Landing::Remove:
// never through a link, never outside root, the directories it leaves empty with it; on Windows
// a file in use is renamed aside).
class IFileRemoval {
  public:
    virtual ~IFileRemoval() = default;
    // Removes the regular file name below root, then the directories of name this leaves empty
    // up to root; FALSE with GetLastError() when the file could not be removed
    // (ERROR_CANT_RESOLVE_FILENAME: a link lies on the way).
    virtual BOOL RemoveFile(const char* root, const char* name) = 0;
};

// The removal of the program: Landing::Remove.
IFileRemoval& LandingRemoval();

// Removes, below productDirectory, each dropped name that listed does not hold (by NameKey)
// whose regular file has one of its recorded contents (judged by contents, which hashes what it
// does not know), showing "Removed..." and the name, or "Failed..." when the removal failed.
// Everything else is left untouched and not mentioned.
void RemoveDropped(const CString& productDirectory, const DroppedFiles& dropped,
                   const std::unordered_set<CString>& listed, ContentCache& contents,
                   IRunView& view, IFileRemoval& removal);

// The synchronisation's last step in a signed run whose list has been worked through: fetches
// Dropped.txt when the verified manifest records it, and removes what it names (RemoveDropped).
// Nothing without a key, without a record, or when Dropped.txt does not match its record.
void RemoveDroppedFiles(RunContext& run, const FileList& list, ContentCache* contents,
                        IFileRemoval& removal = LandingRemoval());

}  // namespace engine
