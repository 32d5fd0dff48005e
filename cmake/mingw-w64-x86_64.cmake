# CMake toolchain file: cross-build for Windows x86_64 with Debian's mingw-w64
# (posix thread model, so std::thread / std::mutex work).
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The static third-party libraries (jsoncpp, libcurl, libcrypto, gtest/gmock)
# are produced by scripts/build-win-deps.sh into TAVREL_WIN_DEPS/prefix.
# Header-only libraries (boost, websocketpp, rapidjson) are reachable through
# TAVREL_WIN_DEPS/sysinc, a folder of symlinks into /usr/include.  Never add
# /usr/include itself to the cross build: glibc headers would shadow mingw's.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVREL_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER   ${TAVREL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVREL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${TAVREL_MINGW_TRIPLET}-windres)

# The repository root is the parent of the folder holding this file.  It is
# used instead of CMAKE_SOURCE_DIR because this file is also read by
# try_compile() projects and by third-party builds (whose CMAKE_SOURCE_DIR is
# elsewhere).  For the project itself both are the same directory.
get_filename_component(_tavrel_repo_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

set(TAVREL_WIN_DEPS "${_tavrel_repo_root}/.cache/win-deps"
    CACHE PATH "Folder filled by scripts/build-win-deps.sh (prefix/ and sysinc/)")
# Hand the value on to try_compile() projects.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVREL_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH
    /usr/${TAVREL_MINGW_TRIPLET}
    "${TAVREL_WIN_DEPS}/prefix")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets ctest / add_test run the .exe files under wine.
set(CMAKE_CROSSCOMPILING_EMULATOR "${_tavrel_repo_root}/cmake/wine-run.sh")
