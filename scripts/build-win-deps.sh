#!/usr/bin/env bash
# Cross-build the static Windows (mingw-w64 x86_64, posix threads) libraries
# the Windows build of the agent links against, from Debian's source packages.
#
#   scripts/build-win-deps.sh [CACHE_DIR]      (default: /var/cache/tavrel-agent/win-deps-<recipe key>,
#                                               linked from <repo>/.cache/win-deps)
#
# Result:
#   CACHE_DIR/prefix/include, CACHE_DIR/prefix/lib
#       libjsoncpp.a, libcurl.a (HTTP and HTTPS through OpenSSL, zlib), libssl.a, libcrypto.a,
#       libgtest.a, libgtest_main.a, libgmock.a, libgmock_main.a
#   CACHE_DIR/sysinc   symlinks to the header-only boost, websocketpp, rapidjson
#   CACHE_DIR/logs     build logs
#
# Every stage is skipped when its stamp and output already exist, so a second
# run takes seconds.  Remove CACHE_DIR (or CACHE_DIR/stamps/<stage>) to redo.
# Link order that works (compile with -DCURL_STATICLIB, link with -static:
# without it the .exe needs libwinpthread-1.dll and zlib1.dll):
#   -lgmock -lgtest -lcurl -ljsoncpp -lssl -lcrypto -lz
#   -lws2_32 -lcrypt32 -lbcrypt -ladvapi32 -lwinmm -luser32
set -euo pipefail

DEPS_TAG=win-deps
SRC_PKGS=(libjsoncpp curl openssl)
# shellcheck source=scripts/deps-common.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/deps-common.sh"
# Bump when what is built or how changes: a new recipe builds into a new folder.
RECIPE=r3
deps_cache_dir "$RECIPE" "${1:-}"

TRIPLET=x86_64-w64-mingw32
CC_WIN="$TRIPLET-gcc-posix"
CXX_WIN="$TRIPLET-g++-posix"
MINGW_SYSROOT="/usr/$TRIPLET"
TOOLCHAIN="$REPO_ROOT/cmake/mingw-w64-x86_64.cmake"

# ---------------------------------------------------------------------------
# 1. tools
# ---------------------------------------------------------------------------
stage_begin tools
NEEDED_PKGS=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
    dpkg-dev libboost-dev libwebsocketpp-dev rapidjson-dev googletest
    libz-mingw-w64-dev cmake make perl
)
deps_install_missing "${NEEDED_PKGS[@]}"
for t in "$CC_WIN" "$CXX_WIN" "$TRIPLET-ar" "$TRIPLET-ranlib" "$TRIPLET-windres" cmake make perl; do
    command -v "$t" >/dev/null 2>&1 || die "tool '$t' not found after install"
done
ZLIB_A="$MINGW_SYSROOT/lib/libz.a"
[[ -f "$ZLIB_A" && -f "$MINGW_SYSROOT/include/zlib.h" ]] \
    || die "mingw zlib not found ($ZLIB_A, $MINGW_SYSROOT/include/zlib.h); is libz-mingw-w64-dev installed?"

# ---------------------------------------------------------------------------
# 2. deb-src entries and 3. source download (newest version whose files the mirror still has)
# ---------------------------------------------------------------------------
deps_enable_sources
deps_fetch_sources

# ---------------------------------------------------------------------------
# 4a. JsonCpp
# ---------------------------------------------------------------------------
stage_begin jsoncpp
if stamp_ok jsoncpp && [[ -f "$PREFIX/lib/libjsoncpp.a" && -f "$PREFIX/include/json/json.h" ]]; then
    stage_end jsoncpp "cached"
else
    rm -f "$STAMP_DIR/jsoncpp.done" "$LOG_DIR/jsoncpp.log"
    extract libjsoncpp "$BUILD_DIR/jsoncpp-src"
    rm -rf "$BUILD_DIR/jsoncpp-build"
    run_logged jsoncpp cmake -S "$BUILD_DIR/jsoncpp-src" -B "$BUILD_DIR/jsoncpp-build" \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DTAVREL_WIN_DEPS="$CACHE_DIR" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" \
        -DCMAKE_INSTALL_LIBDIR=lib \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF \
        -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
        -DJSONCPP_WITH_EXAMPLE=OFF \
        -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_CMAKE_PACKAGE=OFF
    run_logged jsoncpp cmake --build "$BUILD_DIR/jsoncpp-build" -j "$JOBS"
    run_logged jsoncpp cmake --install "$BUILD_DIR/jsoncpp-build"
    [[ -f "$PREFIX/lib/libjsoncpp.a" ]] || die "jsoncpp: $PREFIX/lib/libjsoncpp.a not produced"
    stamp_write jsoncpp "$(pkg_version libjsoncpp)"
    rm -rf "$BUILD_DIR/jsoncpp-src" "$BUILD_DIR/jsoncpp-build"
    stage_end jsoncpp "built"
fi

# ---------------------------------------------------------------------------
# 4b. OpenSSL libcrypto and libssl, 4c. libcurl (deps-common.sh)
# ---------------------------------------------------------------------------
# The cross prefix is prepended to CC/AR/RANLIB/RC: CC=gcc-posix gives x86_64-w64-mingw32-gcc-posix (posix thread
# model). No --prefix: files are copied by hand.
OPENSSL_ENV=(CC=gcc-posix CXX=g++-posix AR=ar RANLIB=ranlib RC=windres)
openssl_uses_posix_gcc() {
    grep -qE "^CC=\\\$\\(CROSS_COMPILE\\)gcc-posix" Makefile || die "openssl: Makefile does not use $TRIPLET-gcc-posix"
}
OPENSSL_CHECK=openssl_uses_posix_gcc
deps_openssl mingw64 --cross-compile-prefix="$TRIPLET-"
# --disable-pthreads: the threaded resolver then uses Win32 threads instead of winpthreads.
deps_curl --host="$TRIPLET" CC="$CC_WIN" AR="$TRIPLET-ar" RANLIB="$TRIPLET-ranlib" RC="$TRIPLET-windres" \
    CPPFLAGS="-I$PREFIX/include -I$MINGW_SYSROOT/include" LDFLAGS="-L$PREFIX/lib -L$MINGW_SYSROOT/lib" \
    LIBS="-lssl -lcrypto -lws2_32 -lcrypt32 -lbcrypt -luser32 -ladvapi32" \
    --with-zlib="$MINGW_SYSROOT" --disable-pthreads --without-winidn

# ---------------------------------------------------------------------------
# 4d. GoogleTest / GoogleMock from Debian's googletest package
# ---------------------------------------------------------------------------
GTEST_SRC=/usr/src/googletest
stage_begin gtest
gtest_outputs_ok() {
    local l
    for l in gtest gtest_main gmock gmock_main; do
        [[ -f "$PREFIX/lib/lib$l.a" ]] || return 1
    done
    [[ -f "$PREFIX/include/gtest/gtest.h" && -f "$PREFIX/include/gmock/gmock.h" ]]
}
if stamp_ok gtest && gtest_outputs_ok; then
    stage_end gtest "cached"
else
    rm -f "$STAMP_DIR/gtest.done" "$LOG_DIR/gtest.log"
    [[ -f "$GTEST_SRC/CMakeLists.txt" ]] || die "gtest: $GTEST_SRC missing (package googletest)"
    rm -rf "$BUILD_DIR/gtest-build"
    # gtest_disable_pthreads=ON: gtest's headers pick the Win32 threading
    # primitives on Windows; building the library with GTEST_HAS_PTHREAD=1
    # would not match what user code compiled against those headers sees.
    run_logged gtest cmake -S "$GTEST_SRC" -B "$BUILD_DIR/gtest-build" \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DTAVREL_WIN_DEPS="$CACHE_DIR" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" \
        -DCMAKE_INSTALL_LIBDIR=lib \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
        -Dgtest_disable_pthreads=ON
    run_logged gtest cmake --build "$BUILD_DIR/gtest-build" -j "$JOBS"
    run_logged gtest cmake --install "$BUILD_DIR/gtest-build"
    gtest_outputs_ok || die "gtest: libraries or headers missing in $PREFIX after install"
    stamp_write gtest "$(dpkg-query -W -f='${Version}' googletest)"
    rm -rf "$BUILD_DIR/gtest-build"
    stage_end gtest "built"
fi

# ---------------------------------------------------------------------------
# 5. sysinc: header-only libraries, without the rest of /usr/include
# ---------------------------------------------------------------------------
stage_begin sysinc
mkdir -p "$SYSINC"
for d in boost websocketpp rapidjson; do
    [[ -d "/usr/include/$d" ]] || die "/usr/include/$d missing"
    if [[ "$(readlink "$SYSINC/$d" 2>/dev/null || true)" != "/usr/include/$d" ]]; then
        rm -rf "${SYSINC:?}/$d"
        ln -s "/usr/include/$d" "$SYSINC/$d"
    fi
done
stage_end sysinc "boost websocketpp rapidjson"

# ---------------------------------------------------------------------------
# 6. summary
# ---------------------------------------------------------------------------
trap - ERR
echo
echo "== Windows dependencies ready in $CACHE_DIR =="
printf '  %s\n' "${SUMMARY[@]}"
echo "  versions: libjsoncpp $(pkg_version libjsoncpp), curl $(pkg_version curl)," \
     "openssl $(pkg_version openssl), googletest $(cat "$STAMP_DIR/gtest.done")"
echo "  compile:  $CXX_WIN -DCURL_STATICLIB -I$SYSINC -I$PREFIX/include"
echo "  link:     -static -L$PREFIX/lib -lgmock -lgtest -lcurl -ljsoncpp -lssl -lcrypto -lz" \
     "-lws2_32 -lcrypt32 -lbcrypt -ladvapi32 -lwinmm -luser32"
