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
// fails like a refused one. It decides by content, not by dates: a local copy with its
// record's size and SHA-256 is unchanged, any other is fetched (engine/content_cache.h).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "engine/content_cache.h"
#include "engine/decision_log.h"
#include "engine/look_ahead.h"
#include "engine/rules.h"
#include "engine/server_release.h"
#include "engine/transfers.h"
#include "engine/run_context.h"
#include "framework/file_find.h"
#include "framework/stdio_file.h"
#include "net/remote_files.h"
#include "platform/landing.h"

namespace engine {

namespace {

constexpr const char* kRemoteFileList = "Update/File_list.txt";
constexpr const char* kRemoteDirectory = "Update/";
// Misspelt as the product has always shown it: the texts users know, kept as they are.
constexpr const char* kServerError = "An error occured on the server.\nPlease try again latter.";

// The listed time of each date, converted once: a list names few dates, and each conversion
// reads the time zone's rules again.
class ListedTimes {
  public:
    std::optional<std::int64_t> Of(std::string_view date) {
        if (const auto found = m_times.find(date); found != m_times.end()) return found->second;
        const std::optional<std::int64_t> time = ListedTime(date);
        // A list of ever new dates costs a conversion each, not ever more memory.
        if (m_times.size() >= kMostDates) m_times.clear();
        m_times.emplace(CString(date), time);
        return time;
    }

  private:
    static constexpr std::size_t kMostDates = 4096;
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>()(text);
        }
    };
    std::unordered_map<CString, std::optional<std::int64_t>, Hash, std::equal_to<>> m_times;
};

// Removes what killed runs left in each directory the run looks into, once a run: the product
// directory and the directory of every listed name, whether or not a file lands there.
class LeftoverSweep {
  public:
    explicit LeftoverSweep(const CString& root) : m_root(root) {
        Landing::RemoveLeftovers(root.c_str(), "");
    }
    void Into(std::string_view name) {
        // From the end: most names lie in the product directory itself, and are short.
        size_t cut = name.size();
        while (cut > 0 && name[cut - 1] != '\\' && name[cut - 1] != '/') --cut;
        if (cut == 0 || name.substr(0, --cut) == m_last) return;
        m_last.assign(name.substr(0, cut));
        if (m_seen.insert(m_last).second) Landing::RemoveLeftovers(m_root.c_str(), m_last.c_str());
    }

  private:
    CString m_root;
    CString m_last;
    std::unordered_set<CString> m_seen;
};

// Whether the local copy of name created then (nothing: there is none) is older than its listed
// date.
bool NeedsFetch(const CString& name, const std::optional<FILETIME>& created,
                std::optional<std::int64_t> listedTime) {
    const bool fetch = !created || IsOutdated(*created, listedTime);
    LogDateDecision(name, created, listedTime, fetch);
    return fetch;
}

// The content cache of productDirectory as read from cacheDirectory, on a thread of its own
// when one can be had.
std::future<std::unique_ptr<ContentCache>> ReadContentCache(const CString& cacheDirectory,
                                                            const CString& productDirectory) {
    const auto read = [cacheDirectory, productDirectory] {
        return std::make_unique<ContentCache>(cacheDirectory, productDirectory);
    };
    try {
        return std::async(std::launch::async, read);
    } catch (const std::system_error&) {
        return std::async(std::launch::deferred, read);
    }
}

// An entry as the run decided it, shown in its turn.
struct Step {
    enum class Kind { Refused, Unchanged, Fetch };

    std::ptrdiff_t index = 0;
    CString name;
    Kind kind = Kind::Refused;
    const ManifestRecord* record = nullptr;
    CString remotePath;
    Transfers::Ticket ticket;  // received by a further connection
};

// The most entries decided ahead of the one shown.
constexpr std::size_t kMostAhead = 1024;

// The names of the files handed over to further connections that have not landed, in the list's
// order. A later entry of the same name, or one whose directory the name is, or that lies in its
// directory, would find the file system otherwise than with one connection.
class Pending {
  public:
    void Handed(const CString& name) { m_names.push_back(Key(name)); }
    void Landing() { m_names.pop_front(); }
    std::size_t Count() const { return m_names.size(); }
    bool Meets(const CString& name) const {
        const CString key = Key(name);
        return std::any_of(m_names.begin(), m_names.end(), [&](const CString& pending) {
            return Within(key, pending) || Within(pending, key);
        });
    }

  private:
    // Names compared as the file system would: either separator, letters of either case.
    static CString Key(const CString& name) {
        CString key = name;
        for (char& c : key) {
            if (c == '/') c = '\\';
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return key;
    }
    // Whether name is path itself or lies below it.
    static bool Within(const CString& name, const CString& path) {
        return name.compare(0, path.size(), path) == 0 &&
               (name.size() == path.size() || name[path.size()] == '\\');
    }

    std::deque<CString> m_names;
};

// Reads this run's copy of the list; nothing when it cannot be opened or is larger than any list
// may be.
std::optional<FileList> ReadList(const CString& path) {
    CStdioFile list;
    if (!list.Open(path.c_str(),
                   CStdioFile::modeRead | CStdioFile::typeText | CStdioFile::shareExclusive) ||
        list.GetLength() > kMaxListBytes) {
        return std::nullopt;
    }
    return FileList::Read(list);
}

}  // namespace

void UpdateFiles(RunContext& run) {
    IRunView& view = *run.view;
    view.SetStatus("Checking file list");
    IRemoteFiles* connection = run.transport;
    if (connection == nullptr) return;

    const CString& tempDirectory = run.tempDirectory;
    if (tempDirectory.empty()) {
        view.ShowMessage(kServerError);
        return;
    }
    const CString listName = RunCopyName("File_list", ".txt");
    const CString listPath = PathInDirectory(tempDirectory, listName.c_str());
    ServerRelease& release = run.release;
    // A signed run's content cache is read while the list arrives.
    std::future<std::unique_ptr<ContentCache>> cache;
    if (release.IsSigned()) cache = ReadContentCache(run.cacheDirectory, run.productDirectory);
    const Fetched fetched =
        release.FetchRunCopy(run, kFileListName, kRemoteFileList, listName, kMaxListBytes);
    if (fetched == Fetched::Refused) {
        release.Refuse(view, true);
        return;
    }
    if (fetched == Fetched::Failed) {
        view.ShowMessage(kServerError);
        return;
    }
    std::optional<FileList> list = ReadList(listPath);
    // The copy is this run's own: no later run would ever overwrite it.
    DeleteFileA(listPath.c_str());
    if (!list) {
        view.ShowMessage(kServerError);
        return;
    }

    const CString& productDirectory = run.productDirectory;
    view.SetProgress(0);
    // Only the last level is made; when it cannot be, every fetch into it fails and says so.
    CreateDirectoryA(productDirectory.c_str(), nullptr);

    CFileFind finder;
    LeftoverSweep sweep(productDirectory);
    const std::unique_ptr<ContentCache> contents = cache.valid() ? cache.get() : nullptr;
    LookAhead lookAhead(*list, productDirectory,
                        contents ? LookAhead::Asks::Stamps : LookAhead::Asks::CreationTimes);
    ListedTimes listedTimes;
    const std::ptrdiff_t count = list->Count();

    // What the run decided of each entry, shown in the list's order; with further connections,
    // up to one file a connection is decided (and received) ahead of the entry shown.
    // The further connections are opened at the first file to fetch.
    std::optional<Transfers> transfers;
    std::deque<Step> ahead;
    Pending pending;
    auto show = [&] {
        Step& step = ahead.front();
        if (step.ticket) pending.Landing();
        if (step.kind == Step::Kind::Refused) {
            view.SetStatus("Updating..." + step.name);
            view.SetStatus("Failed..." + step.name);
        } else if (step.kind == Step::Kind::Unchanged) {
            view.SetStatus("Unchanged..." + step.name);
        } else {
            view.SetStatus("Updating..." + step.name);
            auto fetch = [&] {
                return release.FetchRecorded(*connection, step.record, step.remotePath,
                                             productDirectory, step.name);
            };
            const Fetched fetched =
                step.ticket ? transfers->Land(step.ticket, fetch, view) : fetch();
            view.SetStatus((fetched == Fetched::Landed ? "Updated..." : "Failed...") + step.name);
        }
        view.SetProgress(ProgressPosition(step.index, count));
        ahead.pop_front();
    };

    FileList::Entry entry;
    for (std::ptrdiff_t i = 0; list->Next(entry); ++i) {
        Step step;
        step.index = i;
        step.name = entry.name;
        // An entry is looked at only once every file handed over that it could meet has landed.
        if (pending.Meets(step.name)) {
            while (!ahead.empty()) show();
        }
        const CString localPath = productDirectory + step.name;
        const bool safe = !entry.overlong && IsSafeListedName(step.name, productDirectory.size());
        step.record = safe && contents ? release.Record(step.name) : nullptr;
        const bool fetchable = safe && (!contents || step.record != nullptr);
        if (fetchable) sweep.Into(step.name);
        if (!fetchable) {
            step.kind = Step::Kind::Refused;
        } else if (step.record
                       ? contents->Holds(entry.name, localPath, lookAhead.Stamp(i, localPath),
                                         *step.record)
                       : !NeedsFetch(step.name, lookAhead.CreationTime(i, localPath, finder),
                                     listedTimes.Of(entry.date))) {
            step.kind = Step::Kind::Unchanged;
        } else {
            step.kind = Step::Kind::Fetch;
            lookAhead.Stop();
            // The download makes the directories the file lies in below the product directory,
            // never through a link.
            step.remotePath = kRemoteDirectory + RemoteName(step.name);
        }
        if (step.kind == Step::Kind::Refused) LogRefusedEntry(step.name, safe);
        if (step.record)
            LogContentDecision(step.name, *step.record, step.kind != Step::Kind::Fetch);
        if (!transfers && run.transferConnections > 1 && step.kind == Step::Kind::Fetch) {
            transfers.emplace(*connection, release, run.transferConnections - 1);
        }
        const bool aheadOfTurn = transfers && transfers->Working();
        if (aheadOfTurn && step.kind == Step::Kind::Fetch) {
            step.ticket =
                transfers->Hand(step.record, step.remotePath, productDirectory, step.name);
            pending.Handed(step.name);
        }
        ahead.push_back(std::move(step));
        while (!ahead.empty() && (!aheadOfTurn || pending.Count() > run.transferConnections ||
                                  ahead.size() > kMostAhead)) {
            show();
        }
    }
    while (!ahead.empty()) show();
    transfers.reset();

    if (contents) contents->Save();
    // The run's files are on the disk, renames included, before it says it is complete. A flush
    // that failed leaves them in place: there is nothing more to show.
    connection->Settle();
    view.SetStatus("Completed- Press Cancel");
    view.SetProgress(0);
}

}  // namespace engine
