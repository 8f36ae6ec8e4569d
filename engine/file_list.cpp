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
#include "engine/dropped_files.h"
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
// directory, would find the file system otherwise than with one connection. Names are kept and
// compared as the file system compares them (NameKey).
class Pending {
  public:
    void Handed(const CString& name) { m_names.push_back(NameKey(name)); }
    void Landing() { m_names.pop_front(); }
    std::size_t Count() const { return m_names.size(); }
    bool Meets(const CString& name) const {
        const CString key = NameKey(name);
        return std::any_of(m_names.begin(), m_names.end(), [&](const CString& pending) {
            return Within(key, pending) || Within(pending, key);
        });
    }

  private:
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

// One pass through the list: what the run decides of each entry, in the list's order, and the
// showing of each decision in its turn (the fetch, when it is one, included). With further
// connections, up to one file a connection is decided (and received) ahead of the entry shown;
// they are opened at the first file to fetch.
class ListPass {
  public:
    ListPass(RunContext& run, FileList& list, ContentCache* contents)
        : m_run(run),
          m_view(*run.view),
          m_connection(*run.transport),
          m_release(run.release),
          m_productDirectory(run.productDirectory),
          m_list(list),
          m_contents(contents),
          m_sweep(run.productDirectory),
          m_lookAhead(list, run.productDirectory,
                      contents ? LookAhead::Asks::Stamps : LookAhead::Asks::CreationTimes),
          m_count(list.Count()) {}

    // Decides and shows every entry; false when the run was cancelled, which ends the pass at
    // once: what was shown stays, nothing further is fetched, and the files handed over that
    // have not landed are given up.
    bool Go() {
        FileList::Entry entry;
        for (std::ptrdiff_t i = 0; m_list.Next(entry); ++i) {
            if (Stopped(m_run)) return false;
            // An entry is looked at only once every file handed over that it could meet has
            // landed.
            if (m_pending.Meets(CString(entry.name)) && !ShowWhile([] { return true; }))
                return false;
            Step step = Decide(entry, i);
            if (!m_transfers && m_run.transferConnections > 1 && step.kind == Step::Kind::Fetch) {
                m_transfers.emplace(m_connection, m_release, m_run.transferConnections - 1,
                                    m_run.cancel);
            }
            const bool aheadOfTurn = m_transfers && m_transfers->Working();
            if (aheadOfTurn && step.kind == Step::Kind::Fetch) {
                step.ticket =
                    m_transfers->Hand(step.record, step.remotePath, m_productDirectory, step.name);
                m_pending.Handed(step.name);
            }
            m_ahead.push_back(std::move(step));
            const bool shown = ShowWhile([&] {
                return !aheadOfTurn || m_pending.Count() > m_run.transferConnections ||
                       m_ahead.size() > kMostAhead;
            });
            if (!shown) return false;
        }
        return ShowWhile([] { return true; });
    }

  private:
    // What the run makes of an entry, before its turn.
    Step Decide(const FileList::Entry& entry, std::ptrdiff_t index) {
        Step step;
        step.index = index;
        step.name = entry.name;
        const CString localPath = m_productDirectory + step.name;
        const bool safe = !entry.overlong && IsSafeListedName(step.name, m_productDirectory.size());
        step.record = safe && m_contents ? m_release.Record(step.name) : nullptr;
        const bool fetchable = safe && (!m_contents || step.record != nullptr);
        if (fetchable) m_sweep.Into(step.name);
        if (!fetchable) {
            step.kind = Step::Kind::Refused;
        } else if (step.record
                       ? m_contents->Holds(entry.name, localPath,
                                           m_lookAhead.Stamp(index, localPath), *step.record)
                       : !NeedsFetch(step.name,
                                     m_lookAhead.CreationTime(index, localPath, m_finder),
                                     m_listedTimes.Of(entry.date))) {
            step.kind = Step::Kind::Unchanged;
        } else {
            step.kind = Step::Kind::Fetch;
            m_lookAhead.Stop();
            // The download makes the directories the file lies in below the product directory,
            // never through a link.
            step.remotePath = kRemoteDirectory + RemoteName(step.name);
        }
        if (step.kind == Step::Kind::Refused) LogRefusedEntry(step.name, safe);
        if (step.record)
            LogContentDecision(step.name, *step.record, step.kind != Step::Kind::Fetch);
        return step;
    }

    // Shows the decisions ahead, oldest first, while more() holds; false once the run was
    // cancelled (the one in flight shown as failed, the rest not shown).
    template <class More>
    bool ShowWhile(More more) {
        while (!m_ahead.empty() && more()) {
            Show(m_ahead.front());
            m_ahead.pop_front();
            if (m_run.cancel != nullptr && m_run.cancel->IsCancelled()) return false;
        }
        return true;
    }

    void Show(const Step& step) {
        if (step.ticket) m_pending.Landing();
        if (step.kind == Step::Kind::Refused) {
            m_view.SetStatus("Updating..." + step.name);
            m_view.SetStatus("Failed..." + step.name);
        } else if (step.kind == Step::Kind::Unchanged) {
            m_view.SetStatus("Unchanged..." + step.name);
        } else {
            m_view.SetStatus("Updating..." + step.name);
            auto fetch = [&] {
                return m_release.FetchRecorded(m_connection, step.record, step.remotePath,
                                               m_productDirectory, step.name);
            };
            const Fetched fetched =
                step.ticket ? m_transfers->Land(step.ticket, fetch, m_view) : fetch();
            m_view.SetStatus((fetched == Fetched::Landed ? "Updated..." : "Failed...") + step.name);
        }
        m_view.SetProgress(ProgressPosition(step.index, m_count));
    }

    RunContext& m_run;
    IRunView& m_view;
    IRemoteFiles& m_connection;
    ServerRelease& m_release;
    const CString& m_productDirectory;
    FileList& m_list;
    ContentCache* m_contents;
    CFileFind m_finder;
    LeftoverSweep m_sweep;
    LookAhead m_lookAhead;
    ListedTimes m_listedTimes;
    const std::ptrdiff_t m_count;
    std::optional<Transfers> m_transfers;
    std::deque<Step> m_ahead;
    Pending m_pending;
};

// Fetches this run's copy of the list and reads it; nothing after a failure, which it has told.
std::optional<FileList> FetchList(RunContext& run,
                                  std::future<std::unique_ptr<ContentCache>>& cache) {
    IRunView& view = *run.view;
    const CString& tempDirectory = run.tempDirectory;
    if (tempDirectory.empty()) {
        view.ShowMessage(kServerError);
        return std::nullopt;
    }
    const CString listName = RunCopyName("File_list", ".txt");
    const CString listPath = PathInDirectory(tempDirectory, listName.c_str());
    ServerRelease& release = run.release;
    // A signed run's content cache is read while the list arrives.
    if (release.IsSigned()) cache = ReadContentCache(run.cacheDirectory, run.productDirectory);
    const Fetched fetched =
        release.FetchRunCopy(run, kFileListName, kRemoteFileList, listName, kMaxListBytes);
    // A fetch the user cancelled says nothing more.
    if (fetched != Fetched::Landed && Stopped(run)) return std::nullopt;
    if (fetched == Fetched::Refused) {
        release.Refuse(view, true);
        return std::nullopt;
    }
    if (fetched == Fetched::Failed) {
        view.ShowMessage(kServerError);
        return std::nullopt;
    }
    std::optional<FileList> list = ReadList(listPath);
    // The copy is this run's own: no later run would ever overwrite it.
    DeleteFileA(listPath.c_str());
    if (!list) view.ShowMessage(kServerError);
    return list;
}

}  // namespace

void UpdateFiles(RunContext& run) {
    IRunView& view = *run.view;
    view.SetStatus("Checking file list");
    IRemoteFiles* connection = run.transport;
    if (connection == nullptr) return;

    std::future<std::unique_ptr<ContentCache>> cache;
    std::optional<FileList> list = FetchList(run, cache);
    if (!list) return;

    view.SetProgress(0);
    // Only the last level is made; when it cannot be, every fetch into it fails and says so.
    CreateDirectoryA(run.productDirectory.c_str(), nullptr);
    const std::unique_ptr<ContentCache> contents = cache.valid() ? cache.get() : nullptr;
    const bool whole = ListPass(run, *list, contents.get()).Go();
    // The files that landed stay, also when the run was cancelled: they go to the disk below.
    if (whole) {
        // What the list no longer names is dealt with here, once every listed file has landed.
        RemoveDroppedFiles(run, *list, contents.get());
        if (contents) contents->Save();
    }
    // The run's files are on the disk, renames included, before it says it is complete. A flush
    // that failed leaves them in place: there is nothing more to show.
    connection->Settle();
    if (!whole) return;
    view.SetStatus("Completed- Press Cancel");
    view.SetProgress(0);
}

}  // namespace engine
