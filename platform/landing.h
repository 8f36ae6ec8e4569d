// Where a download lands, on both systems: a temporary file beside its target, renamed over the
// target only once it is whole and on the disk, below a root directory that the name given for
// it can never leave. Windows has no call that walks a path without following its links, so
// each system does that its own way behind this one class.
#pragma once

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/win32api.h"

class Landing {
  public:
    // A temporary file of ours is held by its landing while it is written (POSIX: a lock on
    // it; Windows: it is open without delete sharing), so one that nobody holds is the leftover
    // of a run that was killed, removed by the next run that looks into its directory. Only one
    // written within this many seconds is spared: it may be a landing's between its creation
    // and its hold, or between its last write and its rename.
    static constexpr DWORD kFreshSeconds = 2;

    // Prepares the landing of `name`, a path relative to the directory `root` whose components
    // a backslash or a slash separates. root itself may be reached through symbolic links (or
    // reparse points); below it, each directory of name is entered without following any, and
    // one that is missing is made. The temporary file is created beside the target under a
    // name of the form "~kst1a2b.tmp", which no path limit can refuse where the target itself
    // fits; temporary files of exactly that form beside it that no landing holds are removed
    // first (as RemoveLeftovers does). attributes: FILE_ATTRIBUTE_READONLY makes a read-only
    // file, others are ignored. failIfExists: a target already there is refused.
    // Null with GetLastError() on failure: ERROR_CANT_RESOLVE_FILENAME when a link lies on the
    // way, ERROR_INVALID_NAME for an empty, "." or ".." component, ERROR_FILE_EXISTS, or what
    // the file system said.
    static std::unique_ptr<Landing> Begin(LPCSTR root, LPCSTR name, DWORD attributes,
                                          bool failIfExists);

    // A landing not committed removes its temporary file, leaving the last error as it was (it
    // tells why the landing was given up).
    virtual ~Landing() = default;

    // Appends size bytes to the temporary file; FALSE with GetLastError() when they could not
    // be written.
    virtual BOOL Write(LPCVOID data, DWORD size) = 0;

    // Flushes the temporary file to the disk, renames it over the target (a file or a symbolic
    // link there is replaced, a directory is not) and has the target count as created now.
    // FALSE with GetLastError() when any step fails; the target is then as it was. The rename
    // is durable once Settle has returned (a system that flushes a directory of its own flushes
    // it once for a run of landings into it: when a landing goes to another directory, by
    // Settle, or when the process ends).
    virtual BOOL Commit() = 0;

    // Removes what killed runs left in the directory `directory` below root: files of exactly
    // our temporary form that no landing holds (kFreshSeconds aside). directory is walked as
    // Begin walks name's directories, without making one that is missing or entering a link;
    // empty, it is root itself. Each directory is looked through once in a process. Nothing is
    // reported: a leftover that stays is removed by a later run.
    static void RemoveLeftovers(LPCSTR root, LPCSTR directory);

    // Makes the renames of every landing committed so far durable; FALSE with GetLastError()
    // when a flush they needed failed (the files are in place, but a crash could undo their
    // renames).
    static BOOL Settle();

    // The temporary name numbered n: "~kst" and four lower-case hexadecimal digits, ".tmp".
    static std::string TemporaryName(unsigned n) {
        char name[16];
        std::snprintf(name, sizeof name, "~kst%04x.tmp", n & 0xFFFFu);
        return name;
    }

    // Whether a file name has exactly that form; no other file is ever taken for ours.
    static bool IsTemporaryName(const char* name) {
        if (std::strlen(name) != 12 || std::strncmp(name, "~kst", 4) != 0 ||
            std::strcmp(name + 8, ".tmp") != 0) {
            return false;
        }
        for (int i = 4; i < 8; ++i) {
            if (!std::strchr("0123456789abcdef", name[i]) || name[i] == '\0') return false;
        }
        return true;
    }

  protected:
    Landing() = default;
    Landing(const Landing&) = delete;
    Landing& operator=(const Landing&) = delete;
};
