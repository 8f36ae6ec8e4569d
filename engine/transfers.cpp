#include "engine/transfers.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

#include "engine/run_context.h"
#include "net/remote_files.h"

namespace engine {

struct Transfers::Job {
    enum class State { Queued, Receiving, Done };

    const ManifestRecord* record;
    CString remotePath;
    CString directory;
    CString localName;
    State state = State::Queued;
    bool turn = false;  // the run has reached the file
    Fetched fetched = Fetched::Failed;
};

// What a further connection's transfer is held to: the release's own check when it has one, and
// a landing that waits for the file's turn.
class Transfers::Gate final : public net::IReceiveCheck {
  public:
    Gate(net::IReceiveCheck* inner, Transfers& transfers, Job& job)
        : m_inner(inner), m_transfers(transfers), m_job(job) {}

    bool Admits(ULONGLONG announced) override {
        return m_inner == nullptr || m_inner->Admits(announced);
    }
    bool Take(const void* data, std::size_t size) override {
        return m_inner == nullptr || m_inner->Take(data, size);
    }
    bool Accept(ULONGLONG totalBytes) override {
        return (m_inner == nullptr || m_inner->Accept(totalBytes)) && m_transfers.AwaitTurn(m_job);
    }
    bool Restart() override { return m_inner == nullptr || m_inner->Restart(); }
    ULONGLONG Expected() const override {
        return m_inner != nullptr ? m_inner->Expected() : ftp::kNoSizeAnnounced;
    }

  private:
    net::IReceiveCheck* m_inner;
    Transfers& m_transfers;
    Job& m_job;
};

// A further connection as the release fetches one file through it.
class Transfers::GatedFiles final : public IRemoteFiles {
  public:
    GatedFiles(IRemoteFiles& inner, Transfers& transfers, Job& job)
        : m_inner(inner), m_transfers(transfers), m_job(job) {}

    bool DownloadFile(const char* remotePath, const char* directory, const char* name,
                      bool failIfExists, DWORD attributes, DWORD transferFlags, DWORD_PTR context,
                      net::IReceiveCheck* check, ULONGLONG maxBytes) override {
        Gate gate(check, m_transfers, m_job);
        return m_inner.DownloadFile(remotePath, directory, name, failIfExists, attributes,
                                    transferFlags, context, &gate, maxBytes);
    }
    std::optional<Bytes> FetchBytes(const char* remotePath, ULONGLONG maxBytes) override {
        return m_inner.FetchBytes(remotePath, maxBytes);
    }

  private:
    IRemoteFiles& m_inner;
    Transfers& m_transfers;
    Job& m_job;
};

Transfers::Transfers(IRemoteFiles& connection, const ServerRelease& release, unsigned count,
                     const CancelToken* cancel)
    : m_release(release), m_cancel(cancel) {
    for (unsigned i = 0; i < count; ++i) {
        std::unique_ptr<IRemoteFiles> further = connection.Further();
        if (!further) break;
        const std::lock_guard<std::mutex> lock(m_mutex);
        try {
            m_threads.emplace_back(&Transfers::Work, this, std::move(further));
        } catch (const std::system_error&) {
            // No thread to be had: the run goes on with the connections it has.
            break;
        }
        ++m_working;
    }
}

Transfers::~Transfers() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_changed.notify_all();
    for (std::thread& thread : m_threads) thread.join();
}

bool Transfers::Working() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_working > 0;
}

Transfers::Ticket Transfers::Hand(const ManifestRecord* record, const CString& remotePath,
                                  const CString& directory, const CString& localName) {
    auto job = std::make_shared<Job>(Job{record, remotePath, directory, localName});
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(job);
    }
    m_changed.notify_all();
    return job;
}

Fetched Transfers::Land(const Ticket& ticket, const std::function<Fetched()>& fetch,
                        IRunView& view) {
    Job& job = *ticket;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (job.state == Job::State::Queued) {
            // No further connection took it in time: the run's own fetches it.
            m_queue.erase(std::find(m_queue.begin(), m_queue.end(), ticket));
            job.state = Job::State::Done;
        } else {
            job.turn = true;
            m_changed.notify_all();
            if (job.state != Job::State::Done) {
                lock.unlock();
                view.Flush();
                lock.lock();
            }
            // Waits in slices: the token is looked at (and its pulse beaten) between them.
            while (!m_changed.wait_for(lock, std::chrono::milliseconds(CancelToken::kPollMs),
                                       [&] { return job.state == Job::State::Done; })) {
                lock.unlock();
                const bool goOn = Continues(m_cancel);
                lock.lock();
                if (!goOn) return Fetched::Failed;
            }
            if (job.fetched == Fetched::Landed) return Fetched::Landed;
        }
    }
    return fetch();
}

bool Transfers::AwaitTurn(Job& job) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return job.turn || m_closing; });
    return job.turn && (m_cancel == nullptr || !m_cancel->IsCancelled());
}

void Transfers::Work(std::unique_ptr<IRemoteFiles> connection) {
    bool open = connection->Open();
    while (open) {
        Ticket job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [&] { return m_closing || !m_queue.empty(); });
            if (m_closing) return;
            // The newest file handed over: the oldest is the one the run reaches next, which its
            // own connection fetches in its turn when no further connection has taken it, so that
            // every connection receives at once instead of the run's waiting on the file it needs.
            job = std::move(m_queue.back());
            m_queue.pop_back();
            job->state = Job::State::Receiving;
        }
        GatedFiles gated(*connection, *this, *job);
        const Fetched fetched = m_release.FetchRecorded(gated, job->record, job->remotePath,
                                                        job->directory, job->localName);
        // A connection that broke, timed out or could not log in again takes no more files; the
        // server's refusal of a file, content the run refused, or the local disk leave it
        // usable (it logs in again first where the transfer left it unusable).
        const DWORD error = GetLastError();
        open = fetched == Fetched::Landed || error == ERROR_INTERNET_EXTENDED_ERROR ||
               !ftp::IsInternetError(error);
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            job->fetched = fetched;
            job->state = Job::State::Done;
        }
        m_changed.notify_all();
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    --m_working;
}

}  // namespace engine
