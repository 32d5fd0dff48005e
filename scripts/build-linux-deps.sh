#!/usr/bin/env bash
# Build the static Linux (x86_64, native) libraries of the linux-static preset from Debian's source packages:
# libcurl with HTTP and HTTPS (OpenSSL, zlib), libssl, libcrypto and JsonCpp, so the agent loads only what it uses instead of
# Debian's shared libcurl and its thirty dependent libraries.
#
#   scripts/build-linux-deps.sh [CACHE_DIR]    (default: /var/cache/tavrel-agent/linux-deps-<recipe key>,
#                                               linked from <repo>/.cache/linux-deps)
#
# Result: CACHE_DIR/prefix/include, CACHE_DIR/prefix/lib with libjsoncpp.a, libcurl.a, libssl.a, libcrypto.a;
# CACHE_DIR/logs with the build logs. zlib is Debian's own static libz.a (zlib1g-dev).
# Every stage is skipped when its stamp and output already exist.
set -euo pipefail

DEPS_TAG=linux-deps
SRC_PKGS=(libjsoncpp curl openssl)
# shellcheck source=scripts/deps-common.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/deps-common.sh"
# Bump when what is built or how changes: a new recipe builds into a new folder.
RECIPE=r3
deps_cache_dir "$RECIPE" "${1:-}"

stage_begin tools
deps_install_missing gcc g++ dpkg-dev zlib1g-dev cmake make perl
for t in gcc g++ ar ranlib cmake make perl; do
    command -v "$t" >/dev/null 2>&1 || die "tool '$t' not found after install"
done
ZLIB_A=/usr/lib/x86_64-linux-gnu/libz.a
[[ -f "$ZLIB_A" ]] || die "static zlib $ZLIB_A not found; is zlib1g-dev installed?"

deps_enable_sources
deps_fetch_sources

stage_begin jsoncpp
if stamp_ok jsoncpp && [[ -f "$PREFIX/lib/libjsoncpp.a" && -f "$PREFIX/include/json/json.h" ]]; then
    stage_end jsoncpp "cached"
else
    rm -f "$STAMP_DIR/jsoncpp.done" "$LOG_DIR/jsoncpp.log"
    extract libjsoncpp "$BUILD_DIR/jsoncpp-src"
    rm -rf "$BUILD_DIR/jsoncpp-build"
    run_logged jsoncpp cmake -S "$BUILD_DIR/jsoncpp-src" -B "$BUILD_DIR/jsoncpp-build" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib \
        -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF \
        -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DJSONCPP_WITH_EXAMPLE=OFF \
        -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_CMAKE_PACKAGE=OFF
    run_logged jsoncpp cmake --build "$BUILD_DIR/jsoncpp-build" -j "$JOBS"
    run_logged jsoncpp cmake --install "$BUILD_DIR/jsoncpp-build"
    [[ -f "$PREFIX/lib/libjsoncpp.a" ]] || die "jsoncpp: $PREFIX/lib/libjsoncpp.a not produced"
    stamp_write jsoncpp "$(pkg_version libjsoncpp)"
    rm -rf "$BUILD_DIR/jsoncpp-src" "$BUILD_DIR/jsoncpp-build"
    stage_end jsoncpp "built"
fi

OPENSSL_ENV=()
deps_openssl linux-x86_64
deps_curl CFLAGS="-O2 -fPIC" CPPFLAGS="-I$PREFIX/include" LDFLAGS="-L$PREFIX/lib" LIBS="-lssl -lcrypto -ldl -lpthread" \
    --with-zlib=/usr --without-gssapi

trap - ERR
echo
echo "== Linux static dependencies ready in $CACHE_DIR =="
printf '  %s\n' "${SUMMARY[@]}"
echo "  versions: libjsoncpp $(pkg_version libjsoncpp), curl $(pkg_version curl), openssl $(pkg_version openssl)"
echo "  link:     -L$PREFIX/lib -lcurl -ljsoncpp -lssl -lcrypto $ZLIB_A -lpthread -ldl"
