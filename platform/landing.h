// Where a download lands, on both systems: a temporary file beside its target, renamed over the
// target only once it is whole and on the disk, below a root directory that the name given for
// it can never leave. Windows has no call that walks a path without following its links, so
// each system does that its own way behind this one class.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

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
    // way, ERROR_INVALID_NAME for an empty, "." or ".." component or a last one of the
    // landing's own forms (IsOwnName), ERROR_FILE_EXISTS, or what the file system said.
    static std::unique_ptr<Landing> Begin(LPCSTR root, LPCSTR name, DWORD attributes,
                                          bool failIfExists);

    // A landing not committed removes its temporary file, leaving the last error as it was (it
    // tells why the landing was given up).
    virtual ~Landing() = default;

    // Appends size bytes to the temporary file; FALSE with GetLastError() when they could not
    // be written.
    virtual BOOL Write(LPCVOID data, DWORD size) = 0;

    // Flushes the temporary file to the disk, renames it over the target (a file or a symbolic
    // link there is replaced, a directory is not) and has the target count as created now. On
    // Windows a target that cannot be replaced because a running program or a loaded library
    // maps it is first renamed aside (AsideName), and the copy aside removed once nothing holds
    // it; one held open without delete sharing fails. FALSE with GetLastError() when any step
    // fails; the target is then as it was. The rename is durable once Settle has returned (a
    // system that flushes a directory of its own flushes it once for a run of landings into it:
    // when a landing goes to another directory, by Settle, or when the process ends).
    virtual BOOL Commit() = 0;

    // Removes what killed runs left in the directory `directory` below root: files of exactly
    // our temporary form that no landing holds (kFreshSeconds aside); on Windows also the copies
    // aside (see AsideName) that nothing holds, each put back instead when its name is missing
    // (a run killed between its two renames). directory is walked as Begin walks name's
    // directories, without making one that is missing or entering a link; empty, it is root itself.
    // Each directory is looked through once in a process. Nothing is reported: a leftover that
    // stays is removed by a later run.
    static void RemoveLeftovers(LPCSTR root, LPCSTR directory);

    // Makes the renames of every landing committed so far durable; FALSE with GetLastError()
    // when a flush they needed failed (the files are in place, but a crash could undo their
    // renames).
    static BOOL Settle();

    // Removes the regular file `name` below root, walked as Begin walks it (no link or reparse
    // point entered, no directory made), then each directory of name that this leaves empty,
    // from the deepest up, never root itself (one that is not empty, or cannot go, stays and is
    // no failure). On Windows a file that a running program or a loaded library maps cannot be
    // removed but can be renamed: it is renamed aside in its directory under a temporary name
    // ("~kst1a2b.tmp", so that no sweep ever gives it its name back), removed at once when it
    // can be, else by the sweep of a later run (RemoveLeftovers) once nothing holds it; that
    // counts as removed. FALSE with GetLastError(): ERROR_FILE_NOT_FOUND, or
    // ERROR_PATH_NOT_FOUND when a directory on the way is missing; ERROR_ACCESS_DENIED when name
    // is a directory; ERROR_CANT_RESOLVE_FILENAME when it, or a directory on the way, is a link;
    // ERROR_INVALID_NAME for an empty, "." or ".." component or a name of the landing's own
    // form; or what the file system said (a file held open without delete sharing:
    // ERROR_SHARING_VIOLATION, the file left whole). The removal is durable once Settle has
    // returned.
    static BOOL Remove(LPCSTR root, LPCSTR name);

    // The temporary name numbered n: "~kst" and four lower-case hexadecimal digits, ".tmp".
    static std::string TemporaryName(unsigned n) {
        char name[16];
        std::snprintf(name, sizeof name, "~kst%04x.tmp", n & 0xFFFFu);
        return name;
    }

    // Whether a file name has exactly that form; no other file is ever taken for ours.
    static bool IsTemporaryName(const char* name) {
        return IsTemporaryForm(std::string_view(name), false);
    }
    template <class Char>
    static bool IsTemporaryName(std::basic_string_view<Char> name) {
        return IsTemporaryForm(name, false);
    }

    // Where a file in use goes while the new copy takes its name (Windows): the name numbered n
    // of a copy aside of the file `leaf` beside it, "~kst", four lower-case hexadecimal digits,
    // "~" and leaf. The name it belongs to is in the name itself, so that a run killed between
    // the renames leaves the next one all it needs to put the copy back.
    template <class Char>
    static std::basic_string<Char> AsideName(unsigned n, std::basic_string_view<Char> leaf) {
        std::basic_string<Char> name;
        for (char c : TemporaryName(n).substr(0, 8)) name += static_cast<Char>(c);
        name += static_cast<Char>('~');
        return name.append(leaf);
    }

    // The name whose copy aside `name` is (exactly that form); empty when it is none.
    template <class Char>
    static std::basic_string_view<Char> AsideOf(std::basic_string_view<Char> name) {
        return IsAsideForm(name, false) ? name.substr(9) : std::basic_string_view<Char>();
    }

    // Whether a file name is of one of the landing's own forms in any case (Windows matches
    // names without regard to case). No file of such a name is landed or removed, so that no
    // listed file is ever taken for one of ours.
    template <class Char>
    static bool IsOwnName(std::basic_string_view<Char> name) {
        return IsTemporaryForm(name, true) || IsAsideForm(name, true);
    }

  protected:
    template <class Char>
    static bool IsTemporaryForm(std::basic_string_view<Char> name, bool anyCase) {
        return name.size() == 12 && Matches(name, "~kst????.tmp", anyCase);
    }

    template <class Char>
    static bool IsAsideForm(std::basic_string_view<Char> name, bool anyCase) {
        return name.size() > 9 && Matches(name, "~kst????~", anyCase);
    }

    // Whether name begins with pattern, where each '?' stands for a lower-case hexadecimal
    // digit; anyCase: letters match in either case.
    template <class Char>
    static bool Matches(std::basic_string_view<Char> name, std::string_view pattern, bool anyCase) {
        if (name.size() < pattern.size()) return false;
        for (size_t i = 0; i < pattern.size(); ++i) {
            Char c = name[i];
            if (anyCase && c >= static_cast<Char>('A') && c <= static_cast<Char>('Z')) {
                c = static_cast<Char>(c - 'A' + 'a');
            }
            const bool hex = (c >= static_cast<Char>('0') && c <= static_cast<Char>('9')) ||
                             (c >= static_cast<Char>('a') && c <= static_cast<Char>('f'));
            if (pattern[i] == '?' ? !hex : c != static_cast<Char>(pattern[i])) return false;
        }
        return true;
    }

    Landing() = default;
    Landing(const Landing&) = delete;
    Landing& operator=(const Landing&) = delete;
};
