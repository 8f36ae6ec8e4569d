// Holds a file of the product the way the running product does, for the end-to-end test of
// files in use under Wine:
//   holder run STOP                  is itself the running program (started from where the
//                                    test copied it)
//   holder load LIBRARY STOP         maps LIBRARY as a loaded library (LoadLibraryW)
//   holder open FILE STOP            has FILE open without FILE_SHARE_DELETE
// Each prints "ready" once it holds, then holds until the file STOP exists (at most five
// minutes, so that a failed test leaves nothing running), and exits 0; 1 when it cannot hold.
#include <cstdio>
#include <cstring>

#include "platform/handle_owners.h"
#include "platform/win32api.h"

namespace {

int HoldUntil(const char* stop) {
    std::printf("ready\n");
    std::fflush(stdout);
    constexpr int kMostPolls = 3000;  // of 100 ms
    for (int i = 0; i < kMostPolls; ++i) {
        if (GetFileAttributesA(stop) != INVALID_FILE_ATTRIBUTES) return 0;
        Sleep(100);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "run") == 0) return HoldUntil(argv[2]);
    if (argc != 4) {
        std::fprintf(stderr, "usage: holder run STOP | load LIBRARY STOP | open FILE STOP\n");
        return 2;
    }
    if (std::strcmp(argv[1], "load") == 0) {
        HMODULE library = LoadLibraryA(argv[2]);
        if (library == nullptr) return 1;
        const int result = HoldUntil(argv[3]);
        FreeLibrary(library);
        return result;
    }
    if (std::strcmp(argv[1], "open") == 0) {
        HANDLE raw = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        if (raw == INVALID_HANDLE_VALUE) return 1;
        const FileHandle file(raw);
        return HoldUntil(argv[3]);
    }
    return 2;
}
