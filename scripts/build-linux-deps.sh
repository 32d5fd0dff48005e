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
RECIPE=r2
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

stage_begin openssl
if stamp_ok openssl && [[ -f "$PREFIX/lib/libcrypto.a" && -f "$PREFIX/lib/libssl.a" && -f "$PREFIX/include/openssl/opensslv.h" ]]; then
    stage_end openssl "cached"
else
    rm -f "$STAMP_DIR/openssl.done" "$LOG_DIR/openssl.log"
    SSL_SRC="$BUILD_DIR/openssl-src"
    extract openssl "$SSL_SRC"
    (
        cd "$SSL_SRC"
        # Only libcrypto.a and libssl.a (libcurl's TLS and the channel's wss) are built; no engines or modules are loaded at run time (no-module, no-engine).
        ssl_opts=(no-shared no-module no-engine)
        for o in apps tests docs; do
            if perl -ne 'print if /^my \@disablables = \(/ .. /^\s*\);/' Configure | grep "\"$o\"" >/dev/null; then
                ssl_opts+=("no-$o")
            fi
        done
        run_logged openssl perl ./Configure linux-x86_64 "${ssl_opts[@]}"
        run_logged openssl make -j"$JOBS" build_generated
        run_logged openssl make -j"$JOBS" libcrypto.a libssl.a
    ) || exit 1
    cp "$SSL_SRC/libcrypto.a" "$SSL_SRC/libssl.a" "$PREFIX/lib/"
    rm -rf "$PREFIX/include/openssl"
    mkdir -p "$PREFIX/include/openssl"
    cp "$SSL_SRC"/include/openssl/*.h "$PREFIX/include/openssl/"
    stamp_write openssl "$(pkg_version openssl)"
    rm -rf "$SSL_SRC"
    stage_end openssl "built"
fi

stage_begin curl
if stamp_ok curl && [[ -f "$PREFIX/lib/libcurl.a" && -f "$PREFIX/include/curl/curl.h" ]]; then
    stage_end curl "cached"
else
    rm -f "$STAMP_DIR/curl.done" "$LOG_DIR/curl.log"
    CURL_SRC="$BUILD_DIR/curl-src"
    extract curl "$CURL_SRC"
    [[ -x "$CURL_SRC/configure" ]] || die "curl: upstream tarball has no configure script"
    (
        cd "$CURL_SRC"
        # PKG_CONFIG=false keeps the host's .pc files (libpsl, nghttp2, ...) out: HTTP(S) with the OpenSSL above, zlib.
        run_logged curl ./configure PKG_CONFIG=false CFLAGS="-O2 -fPIC" \
            CPPFLAGS="-I$PREFIX/include" LDFLAGS="-L$PREFIX/lib" LIBS="-lssl -lcrypto -ldl -lpthread" \
            --prefix="$PREFIX" --disable-shared --enable-static \
            --with-openssl="$PREFIX" --with-zlib=/usr \
            --disable-ftp --disable-file --disable-ldap --disable-ldaps \
            --disable-rtsp --disable-dict --disable-telnet --disable-tftp \
            --disable-pop3 --disable-imap --disable-smtp --disable-gopher \
            --disable-mqtt --disable-smb --disable-manual --disable-ntlm-wb \
            --disable-unix-sockets --enable-threaded-resolver \
            --without-libpsl --without-brotli --without-zstd \
            --without-libidn2 --without-nghttp2 --without-nghttp3 \
            --without-ngtcp2 --without-quiche --without-msh3 \
            --without-libssh --without-libssh2 --without-wolfssh \
            --without-librtmp --without-libgsasl --without-gssapi \
            --without-ca-bundle --without-ca-path
        grep -q '^#define HAVE_LIBZ 1' lib/curl_config.h || die "curl: configure did not pick up zlib"
        grep -q '^#define USE_OPENSSL 1' lib/curl_config.h || die "curl: configure did not pick up OpenSSL"
        run_logged curl make -C lib -j"$JOBS"
    ) || exit 1
    cp "$CURL_SRC/lib/.libs/libcurl.a" "$PREFIX/lib/libcurl.a"
    rm -rf "$PREFIX/include/curl"
    mkdir -p "$PREFIX/include/curl"
    cp "$CURL_SRC"/include/curl/*.h "$PREFIX/include/curl/"
    stamp_write curl "$(pkg_version curl)"
    rm -rf "$CURL_SRC"
    stage_end curl "built"
fi

trap - ERR
echo
echo "== Linux static dependencies ready in $CACHE_DIR =="
printf '  %s\n' "${SUMMARY[@]}"
echo "  versions: libjsoncpp $(pkg_version libjsoncpp), curl $(pkg_version curl), openssl $(pkg_version openssl)"
echo "  link:     -L$PREFIX/lib -lcurl -ljsoncpp -lssl -lcrypto $ZLIB_A -lpthread -ldl"
