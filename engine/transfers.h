// The files of a run received over further connections to the server while the run goes on
// through its list. A file is handed over when the run decides to fetch it; a further connection
// receives it ahead of its turn into the temporary file beside its target, and it lands only in
// its turn, so that files land in the list's order and the run shows what it shows with one
// connection. A further connection that cannot log in (a server at its limit answers 421 or 530)
// is simply not used; one whose transfer broke off, timed out or could not log in again takes
// no more files. A file that no further connection received whole is fetched in its turn over
// the run's own connection, as without them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/server_release.h"
#include "framework/cstring.h"
#include "platform/cancel_token.h"

class IRemoteFiles;

namespace engine {

class IRunView;

class Transfers {
  public:
    struct Job;
    using Ticket = std::shared_ptr<Job>;

    // Opens up to count further connections like connection (IRemoteFiles::Further), each
    // logging in and receiving on a thread of its own; release fetches for them
    // (ServerRelease::FetchRecorded) and must outlive this object, as must cancel (null: none):
    // once it is cancelled, no file handed over lands and Land waits no more.
    Transfers(IRemoteFiles& connection, const ServerRelease& release, unsigned count,
              const CancelToken* cancel = nullptr);
    // Gives up every file handed over that has not landed (its earlier copy stays as it was)
    // and ends the threads, each once its transfer under way has ended.
    ~Transfers();
    Transfers(const Transfers&) = delete;
    Transfers& operator=(const Transfers&) = delete;

    // Whether a further connection is logged in, or still logging in, to take files.
    bool Working() const;
    // Hands over the fetch of remotePath, the file recorded as record (null: none), to
    // localName below directory. Files must be handed over in the order of their turns.
    Ticket Hand(const ManifestRecord* record, const CString& remotePath, const CString& directory,
                const CString& localName);
    // The turn of a file handed over: it lands when a further connection has received, or goes
    // on to receive, it whole; otherwise fetch (over the run's own connection) fetches it now.
    // view is flushed before the run waits on a further connection; a run cancelled meanwhile
    // fails the file without fetching it.
    Fetched Land(const Ticket& ticket, const std::function<Fetched()>& fetch, IRunView& view);

  private:
    class Gate;
    class GatedFiles;

    void Work(std::unique_ptr<IRemoteFiles> connection);
    // The received file's wait for its turn: false when the run gave it up instead.
    bool AwaitTurn(Job& job);

    const ServerRelease& m_release;
    const CancelToken* m_cancel;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Ticket> m_queue;  // handed over, not yet taken
    unsigned m_working = 0;      // further connections logged in or logging in
    bool m_closing = false;
    std::vector<std::thread> m_threads;
};

}  // namespace engine
