# Cross build of the 32-bit Windows program with Debian's mingw-w64 i686 toolchain.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# The posix-thread flavour of the compilers is taken so that std::thread and std::mutex exist
# (GCC 12's win32 flavour lacks them); linking is static (top-level CMakeLists.txt), so the
# executable still needs only system DLLs. Tests run under Wine through the emulator below.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KESTRIN_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTRIN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRIN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRIN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs every cross-built program through Wine, in the prefix the test set-up makes.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine_run.sh)
