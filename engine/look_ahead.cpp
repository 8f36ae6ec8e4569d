#include "engine/look_ahead.h"

#include <system_error>
#include <utility>

#include "framework/file_find.h"

namespace engine {

namespace {

// About ten microseconds of checking for an answer before the thread gives up its core.
constexpr int kSpinsBeforeYield = 10000;
// How many entries after the one the run has reached the look-ahead leaves to the run.
constexpr std::ptrdiff_t kLeftToTheRun = 32;

std::optional<FILETIME> LocalCreationTime(CFileFind& finder, const CString& path) {
    if (!finder.FindFile(path.c_str())) return std::nullopt;
    finder.FindNextFile();
    FILETIME created{};
    if (!finder.GetCreationTime(&created)) return std::nullopt;
    return created;
}

}  // namespace

LookAhead::LookAhead(const FileList& list, CString productDirectory, Asks asks)
    : m_list(list),
      m_productDirectory(std::move(productDirectory)),
      m_count(list.Count()),
      m_answers(std::make_unique<Answer[]>(static_cast<std::size_t>(m_count))),
      m_stamps(asks == Asks::Stamps
                   ? std::make_unique<files::FileStamp[]>(static_cast<std::size_t>(m_count))
                   : nullptr) {
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        // No thread to be had: every entry is looked at when it is reached.
        m_bStop.store(true, std::memory_order_relaxed);
    }
}

LookAhead::~LookAhead() {
    Stop();
}

void LookAhead::Stop() {
    m_bStop.store(true, std::memory_order_relaxed);
    if (m_thread.joinable()) m_thread.join();
}

const LookAhead::Answer* LookAhead::Answered(std::ptrdiff_t index) {
    if (m_bStop.load(std::memory_order_relaxed) || index < 0 || index >= m_count) return nullptr;
    m_reached.store(index, std::memory_order_relaxed);
    Answer& answer = m_answers[static_cast<std::size_t>(index)];
    int state = kFree;
    if (answer.state.compare_exchange_strong(state, kRun, std::memory_order_acquire)) {
        return nullptr;
    }
    // Being asked about by the look-ahead: its answer comes within one look, a few
    // microseconds, which are waited out on the spot (the system is asked to run something else
    // only when the look-ahead seems to have lost its core).
    for (int spins = 0; (state = answer.state.load(std::memory_order_acquire)) == kAsking;
         ++spins) {
        if (spins >= kSpinsBeforeYield) std::this_thread::yield();
    }
    return state == kAnswered ? &answer : nullptr;
}

std::optional<FILETIME> LookAhead::CreationTime(std::ptrdiff_t index, const CString& path,
                                                CFileFind& finder) {
    if (const Answer* answer = Answered(index)) {
        return answer->found ? std::optional<FILETIME>(answer->created) : std::nullopt;
    }
    return LocalCreationTime(finder, path);
}

std::optional<files::FileStamp> LookAhead::Stamp(std::ptrdiff_t index, const CString& path) {
    if (const Answer* answer = Answered(index); answer && m_stamps) {
        return answer->found ? std::optional(m_stamps[static_cast<std::size_t>(index)])
                             : std::nullopt;
    }
    return files::StampOf(path.c_str());
}

void LookAhead::Run() {
    CFileFind finder;
    FileList::Entry entry;
    std::size_t pos = 0;
    for (std::ptrdiff_t i = 0;
         i < m_count && !m_bStop.load(std::memory_order_relaxed) && m_list.NextFrom(pos, entry);
         ++i) {
        // The run has reached this entry already, or is about to: it looks at the next few
        // itself rather than wait for answers, while the look-ahead goes on beyond them.
        if (i <= m_reached.load(std::memory_order_relaxed) + kLeftToTheRun) continue;
        Answer& answer = m_answers[static_cast<std::size_t>(i)];
        int state = kFree;
        if (entry.overlong ||
            !answer.state.compare_exchange_strong(state, kAsking, std::memory_order_acquire)) {
            continue;
        }
        try {
            const CString name(entry.name);
            if (IsSafeListedName(name, m_productDirectory.size())) {
                const CString path = m_productDirectory + name;
                if (m_stamps) {
                    const std::optional<files::FileStamp> stamp = files::StampOf(path.c_str());
                    answer.found = stamp.has_value();
                    if (stamp) m_stamps[static_cast<std::size_t>(i)] = *stamp;
                } else {
                    const std::optional<FILETIME> created = LocalCreationTime(finder, path);
                    answer.found = created.has_value();
                    if (created) answer.created = *created;
                }
                answer.state.store(kAnswered, std::memory_order_release);
            } else {
                answer.state.store(kFree, std::memory_order_release);
            }
        } catch (...) {
            // Out of memory, say: the run looks at this entry and the rest itself.
            answer.state.store(kFree, std::memory_order_release);
            return;
        }
    }
}

}  // namespace engine
