// What this program's own code asks of the file system, in order: the Windows counterpart of a
// system-call trace. The entries of the program's import table for the file calls a landing
// makes are pointed at recorders that note each call on a path below a root and pass it on.
// Only the program's own code is seen (it holds the platform layer, linked in statically), not
// the system's libraries. Each line names the call and its paths relative to the root (the root
// itself is "."), a temporary name of the landing's form shown as "~kst????.tmp", a copy aside
// as "~kst????~NAME":
//   hold P                  a directory opened to be held (FILE_FLAG_BACKUP_SEMANTICS)
//   create P / open P       a file created (CREATE_NEW) / opened otherwise
//   look P                  its attributes asked for (GetFileAttributesW)
//   mkdir P                 made (CreateDirectoryW)
//   flush P                 a file open at P flushed (FlushFileBuffers)
//   rename P to Q[ written through][ replacing]     (MoveFileExW and its flags)
//   set creation time of P  (SetFileTime on a handle of P, with a creation time)
#pragma once

#include <string>
#include <vector>

#include "platform/win32api.h"

class CallTrace {
  public:
    // Starts recording the calls on root (a path as the program names it) and below it.
    explicit CallTrace(const std::string& root);
    // Stops recording: the import table is as it was.
    ~CallTrace();
    CallTrace(const CallTrace&) = delete;
    CallTrace& operator=(const CallTrace&) = delete;

    // Whether every call above was found in the import table, so that none goes unseen.
    bool Complete() const { return m_complete; }

    // The calls so far.
    const std::vector<std::string>& Calls() const { return m_calls; }

    // Has GetFileAttributesW show the directory at path (relative to the root) as a reparse
    // point, as Windows shows a symbolic link or a junction, from its look numbered fromLook on
    // (1: every look).
    void ShowAsLink(const std::string& path, int fromLook);

    // Has the rename noted as call fail with error, without making it.
    void Refuse(const std::string& call, DWORD error) {
        m_refused = call;
        m_refusedError = error;
    }

  private:
    friend struct TraceHooks;
    std::wstring m_root;
    bool m_complete = false;
    std::vector<std::string> m_calls;
    std::string m_link;
    int m_linkFromLook = 0;
    int m_linkLooks = 0;
    std::string m_refused;
    DWORD m_refusedError = 0;
};
