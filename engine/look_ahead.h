// The local copies of a file list's entries, looked at ahead of the synchronisation on a thread
// of its own. A run through a long list of current files spends most of its time asking the
// file system about each copy, one at a time; the answers for the entries to come can be had on
// the second core while the run shows the entries before them (the run asks about the few
// entries just after its own itself, so that both ask at once). An answer stands only while
// nothing of the run has landed: a landing may change what a later entry finds (the same name
// listed twice), so the first fetch ends the look-ahead, and every later entry is looked at when
// it is reached, as without it. What it asks of each copy is its creation time, for the listed
// dates, or its stamp, for a signed release's records.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <thread>

#include "engine/rules.h"
#include "framework/cstring.h"
#include "platform/file_stamp.h"
#include "platform/win32api.h"

class CFileFind;

namespace engine {

class LookAhead {
  public:
    enum class Asks { CreationTimes, Stamps };

    // Looks at the local copies of list's entries in list order, each as productDirectory +
    // name, skipping those with an overlong line or a name that is not safe there (the run
    // refuses them without looking), asking each what asks says. list must outlive this object
    // and not be moved.
    LookAhead(const FileList& list, CString productDirectory, Asks asks = Asks::CreationTimes);
    ~LookAhead();
    LookAhead(const LookAhead&) = delete;
    LookAhead& operator=(const LookAhead&) = delete;

    // The creation time of the local copy at path, the index-th entry's (counted from 0 in list
    // order), nothing when there is none or it cannot be read: the look-ahead's answer when it
    // has one, else looked at now with finder.
    std::optional<FILETIME> CreationTime(std::ptrdiff_t index, const CString& path,
                                         CFileFind& finder);
    // The same for the stamp of the local copy (files::StampOf), when the look-ahead asks for
    // stamps.
    std::optional<files::FileStamp> Stamp(std::ptrdiff_t index, const CString& path);

    // Ends the look-ahead before the run changes the product directory; from here on every
    // entry is looked at when it is asked for. Calling it again does nothing.
    void Stop();

  private:
    // Who has an entry: nobody yet, the look-ahead (asking or answered) or the run.
    enum State : int { kFree, kAsking, kAnswered, kRun };
    struct Answer {
        std::atomic<int> state{kFree};
        bool found = false;
        FILETIME created{};
    };

    // The index-th entry's answer once the look-ahead has one, or null: the run looks itself.
    const Answer* Answered(std::ptrdiff_t index);
    void Run();

    const FileList& m_list;
    const CString m_productDirectory;
    const std::ptrdiff_t m_count;
    std::unique_ptr<Answer[]> m_answers;
    // Each entry's stamp, when those are asked for (kept apart: a run by dates needs none).
    std::unique_ptr<files::FileStamp[]> m_stamps;
    // The entry the run has reached: the look-ahead skips to those after it.
    std::atomic<std::ptrdiff_t> m_reached{-1};
    // Set by the run only: the look-ahead ends, and its answers no longer stand.
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

}  // namespace engine
