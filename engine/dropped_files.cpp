#include "engine/dropped_files.h"

#include <algorithm>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "engine/content_cache.h"
#include "engine/rules.h"
#include "engine/run_context.h"
#include "platform/file_stamp.h"
#include "platform/landing.h"

namespace engine {

namespace {

constexpr std::string_view kFormatLine = "kestrin-dropped 1";
constexpr std::string_view kKeyword = "dropped";
constexpr char kRemoteDroppedList[] = "Update/Dropped.txt";

class Removal final : public IFileRemoval {
  public:
    BOOL RemoveFile(const char* root, const char* name) override {
        return Landing::Remove(root, name);
    }
};

}  // namespace

std::optional<DroppedFiles> ParseDroppedFiles(std::string_view text, CString* reason) {
    if (text.empty() || text.back() != '\n') {
        return RefuseLine(reason, 1 + std::count(text.begin(), text.end(), '\n'),
                          "the text does not end with a line feed");
    }
    DroppedFiles dropped;
    RecordLines lines(text);
    std::string_view line;
    while (lines.Next(line)) {
        const size_t lineNumber = lines.Number();
        if (lineNumber == 1) {
            if (line != kFormatLine) return RefuseLine(reason, 1, "not \"kestrin-dropped 1\"");
            continue;
        }
        const auto [keyword, fields] = SplitRecord(line);
        std::string_view name;
        const std::optional<ManifestRecord> parsed =
            keyword == kKeyword ? ParseContentFields(fields, name) : std::nullopt;
        if (!parsed) return RefuseLine(reason, lineNumber, "not \"dropped SIZE SHA256 NAME\"");
        const ManifestRecord content = *parsed;
        std::vector<ManifestRecord>& contents = dropped[CString(name)];
        if (std::any_of(contents.begin(), contents.end(), [&](const ManifestRecord& other) {
                return other.Matches(content.size, content.sha256);
            })) {
            return RefuseLine(reason, lineNumber, "a record a second time");
        }
        contents.push_back(content);
    }
    return dropped;
}

CString DroppedFilesText(const DroppedFiles& dropped) {
    CString text = CString(kFormatLine) + "\n";
    for (const auto& [name, contents] : dropped) {
        for (const ManifestRecord& content : contents) {
            text += CString(kKeyword) + " " + std::to_string(content.size) + " " +
                    net::HexText(content.sha256) + " " + name + "\n";
        }
    }
    return text;
}

CString NameKey(std::string_view name) {
    CString key(name);
    for (char& c : key) {
        if (c == '/') c = '\\';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

IFileRemoval& LandingRemoval() {
    static Removal removal;
    return removal;
}

void RemoveDropped(const CString& productDirectory, const DroppedFiles& dropped,
                   const std::unordered_set<CString>& listed, ContentCache& contents,
                   IRunView& view, IFileRemoval& removal) {
    for (const auto& [name, recorded] : dropped) {
        if (!IsSafeListedName(name, productDirectory.size()) || listed.contains(NameKey(name))) {
            continue;
        }
        const CString path = productDirectory + name;
        // Nothing for a directory, a link, or no file at all.
        const std::optional<files::FileStamp> stamp = files::StampOf(path.c_str());
        if (!stamp || !contents.HoldsOneOf(name, path, *stamp, recorded)) continue;
        if (removal.RemoveFile(productDirectory.c_str(), name.c_str())) {
            view.SetStatus("Removed..." + name);
            continue;
        }
        // A link on the way is left alone like a link at the name, and a file gone meanwhile
        // is as good as removed; any other failure is told.
        const DWORD error = GetLastError();
        if (error != ERROR_CANT_RESOLVE_FILENAME && error != ERROR_FILE_NOT_FOUND &&
            error != ERROR_PATH_NOT_FOUND) {
            view.SetStatus("Failed..." + name);
        }
    }
}

void RemoveDroppedFiles(RunContext& run, const FileList& list, ContentCache* contents,
                        IFileRemoval& removal) {
    ServerRelease& release = run.release;
    if (contents == nullptr || run.tempDirectory.empty() ||
        release.Record(kDroppedListName) == nullptr) {
        return;
    }
    // Fetched as the list is, held to its record on the way: the server is asked nothing more.
    const CString localName = RunCopyName("Dropped", ".txt");
    const CString localPath = PathInDirectory(run.tempDirectory, localName.c_str());
    std::string text;
    const bool read = release.FetchRunCopy(run, kDroppedListName, kRemoteDroppedList, localName,
                                           kMaxDroppedListBytes) == Fetched::Landed &&
                      files::ReadWholeFile(localPath.c_str(), [&](const void* data, size_t size) {
                          text.append(static_cast<const char*>(data), size);
                          return text.size() <= kMaxDroppedListBytes;
                      });
    DeleteFileA(localPath.c_str());
    const std::optional<DroppedFiles> dropped =
        read ? ParseDroppedFiles(text) : std::optional<DroppedFiles>();
    if (!dropped || dropped->empty()) return;
    std::unordered_set<CString> listed;
    FileList::Entry entry;
    for (std::size_t pos = 0; list.NextFrom(pos, entry);) listed.insert(NameKey(entry.name));
    RemoveDropped(run.productDirectory, *dropped, listed, *contents, *run.view, removal);
}

}  // namespace engine
