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

SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
REPO_ROOT="$(cd "$SCRIPT_DIR/.." && pwd)"
# Bump when what is built or how changes (libraries, options): a new recipe builds into a new folder.
RECIPE=r2
# The build lives outside the clone, keyed by this recipe, so a fresh clone on the same machine (CI's) finds
# it; <repo>/.cache/win-deps is a link to it, where CMake looks.
if [[ -n "${1:-}" ]]; then
    CACHE_DIR="$1"
else
    CACHE_DIR="${TAVREL_DEPS_CACHE:-/var/cache/tavrel-agent}/win-deps-$RECIPE"
    mkdir -p "$CACHE_DIR" "$REPO_ROOT/.cache"
    if [[ "$(readlink "$REPO_ROOT/.cache/win-deps" 2>/dev/null)" != "$CACHE_DIR" ]]; then
        rm -rf "$REPO_ROOT/.cache/win-deps"
        ln -s "$CACHE_DIR" "$REPO_ROOT/.cache/win-deps"
    fi
fi
mkdir -p "$CACHE_DIR"
CACHE_DIR="$(cd "$CACHE_DIR" && pwd)"
# Two clones set up at once share the folder: one builds, the other waits and then finds it built.
exec 9>"$CACHE_DIR/.lock"
flock 9

SRC_DIR="$CACHE_DIR/src"
BUILD_DIR="$CACHE_DIR/build"
PREFIX="$CACHE_DIR/prefix"
SYSINC="$CACHE_DIR/sysinc"
LOG_DIR="$CACHE_DIR/logs"
STAMP_DIR="$CACHE_DIR/stamps"
mkdir -p "$SRC_DIR" "$BUILD_DIR" "$PREFIX/include" "$PREFIX/lib" "$LOG_DIR" "$STAMP_DIR"

TRIPLET=x86_64-w64-mingw32
CC_WIN="$TRIPLET-gcc-posix"
CXX_WIN="$TRIPLET-g++-posix"
MINGW_SYSROOT="/usr/$TRIPLET"
TOOLCHAIN="$REPO_ROOT/cmake/mingw-w64-x86_64.cmake"
JOBS=2
DEBSRC_FILE=/etc/apt/sources.list.d/tavrel-deb-src.sources

export DEBIAN_FRONTEND=noninteractive
export LC_ALL=C

SUMMARY=()

log()  { printf '[win-deps] %s\n' "$*"; }
die()  { printf '[win-deps] ERROR: %s\n' "$*" >&2; exit 1; }

CURRENT_STAGE=""
on_err() {
    local rc=$?
    printf '[win-deps] ERROR: stage "%s" failed (exit %s)\n' "${CURRENT_STAGE:-?}" "$rc" >&2
}
trap on_err ERR

# run_logged LOGNAME CMD...: run CMD with its output going to LOG_DIR/LOGNAME.log;
# on failure show the log's tail and stop.
run_logged() {
    local name="$1"; shift
    local logf="$LOG_DIR/$name.log"
    printf '\n### %s\n### %s\n' "$(date -u '+%F %T')" "$*" >>"$logf"
    if ! "$@" >>"$logf" 2>&1; then
        printf '[win-deps] ERROR: command failed: %s\n' "$*" >&2
        printf '[win-deps] ---- last lines of %s ----\n' "$logf" >&2
        tail -n 40 "$logf" >&2 || true
        trap - ERR
        exit 1
    fi
}

stage_begin() { CURRENT_STAGE="$1"; STAGE_T0=$(date +%s.%N); }
stage_end() {
    local what="$2"
    local dt
    dt=$(awk -v a="$STAGE_T0" -v b="$(date +%s.%N)" 'BEGIN{printf "%.1f", b-a}')
    SUMMARY+=("$(printf '%-16s %-28s %6ss' "$1" "$what" "$dt")")
    log "$1: $what (${dt}s)"
}

stamp_ok()    { [[ -f "$STAMP_DIR/$1.done" ]]; }
stamp_write() { printf '%s\n' "${2:-done}" >"$STAMP_DIR/$1.done"; }

# ---------------------------------------------------------------------------
# 1. tools
# ---------------------------------------------------------------------------
stage_begin tools
NEEDED_PKGS=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
    dpkg-dev libboost-dev libwebsocketpp-dev rapidjson-dev googletest
    libz-mingw-w64-dev cmake make perl
)
missing=()
for p in "${NEEDED_PKGS[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep 'install ok installed' >/dev/null; then
        missing+=("$p")
    fi
done
if ((${#missing[@]})); then
    log "installing: ${missing[*]}"
    run_logged apt apt-get update -q
    run_logged apt apt-get install -y -q --no-install-recommends "${missing[@]}"
    stage_end tools "installed ${#missing[@]} pkg(s)"
else
    stage_end tools "present"
fi
for t in "$CC_WIN" "$CXX_WIN" "$TRIPLET-ar" "$TRIPLET-ranlib" "$TRIPLET-windres" cmake make perl; do
    command -v "$t" >/dev/null 2>&1 || die "tool '$t' not found after install"
done
ZLIB_A="$MINGW_SYSROOT/lib/libz.a"
[[ -f "$ZLIB_A" && -f "$MINGW_SYSROOT/include/zlib.h" ]] \
    || die "mingw zlib not found ($ZLIB_A, $MINGW_SYSROOT/include/zlib.h); is libz-mingw-w64-dev installed?"

# ---------------------------------------------------------------------------
# 2. deb-src entries
# ---------------------------------------------------------------------------
SRC_PKGS=(libjsoncpp curl openssl)

have_src_index() {
    local p
    for p in "${SRC_PKGS[@]}"; do
        apt-cache showsrc --only-source "$p" 2>/dev/null | grep '^Package:' >/dev/null || return 1
    done
}

debsrc_configured() {
    [[ -f "$DEBSRC_FILE" ]] && return 0
    grep -rqsE '^[[:space:]]*Types:.*\bdeb-src\b' /etc/apt/sources.list.d/*.sources 2>/dev/null && return 0
    grep -rqsE '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null && return 0
    return 1
}

# Copy every enabled deb822 stanza of type "deb" that points at a Debian
# archive (…/debian or …/debian-security), with its Types set to deb-src.
write_debsrc_file() {
    local tmp
    tmp=$(mktemp)
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -f "$f" && "$f" != "$DEBSRC_FILE" ]] || continue
        awk '
            function flush() {
                if (n > 0 && isdeb && isdebian && enabled) {
                    if (out++) print ""
                    print "Types: deb-src"
                    for (i = 1; i <= n; i++) print lines[i]
                }
                n = 0; isdeb = 0; isdebian = 0; enabled = 1; cur = ""
            }
            BEGIN { n = 0; enabled = 1; out = 0 }
            /^[[:space:]]*$/ { flush(); next }
            /^#/ { next }
            /^[^[:space:]]/ {
                cur = tolower($1)
                if (cur == "types:") {
                    for (i = 2; i <= NF; i++) if ($i == "deb") isdeb = 1
                    next
                }
                if (cur == "architectures:") next
                if (cur == "enabled:" && tolower($2) == "no") enabled = 0
                if (cur == "uris:") {
                    for (i = 2; i <= NF; i++) if ($i ~ /\/debian(-security)?\/?$/) isdebian = 1
                }
            }
            /^[[:space:]]/ { if (cur == "types:" || cur == "architectures:") next }
            { lines[++n] = $0 }
            END { flush() }
        ' "$f" >>"$tmp"
        [[ -s "$tmp" ]] && printf '\n' >>"$tmp"
    done
    if [[ ! -s "$tmp" ]]; then
        rm -f "$tmp"
        die "no Debian deb822 entry found under /etc/apt/sources.list.d/ to derive deb-src from"
    fi
    { echo "# deb-src entries added by scripts/build-win-deps.sh"; cat "$tmp"; } >"$DEBSRC_FILE"
    rm -f "$tmp"
    chmod 644 "$DEBSRC_FILE"
}

stage_begin deb-src
if stamp_ok fetch-libjsoncpp && stamp_ok fetch-curl && stamp_ok fetch-openssl; then
    stage_end deb-src "not needed (sources cached)"
elif have_src_index; then
    stage_end deb-src "already enabled"
else
    if ! debsrc_configured; then
        log "adding $DEBSRC_FILE"
        write_debsrc_file
    fi
    run_logged apt apt-get update -q
    have_src_index || die "apt-get update did not make source packages ${SRC_PKGS[*]} known (see $DEBSRC_FILE and $LOG_DIR/apt.log)"
    stage_end deb-src "enabled + apt-get update"
fi

# ---------------------------------------------------------------------------
# 3. source download (newest version whose files the mirror still has)
# ---------------------------------------------------------------------------
upstream_version() {  # strip epoch and Debian revision
    local v="${1#*:}"
    printf '%s\n' "${v%-*}"
}

find_orig() {  # find_orig PKG VERSION -> path of the upstream tarball
    local pkg="$1" up f
    up=$(upstream_version "$2")
    for f in "$SRC_DIR/${pkg}_${up}".orig.tar.{gz,xz,bz2}; do
        [[ -f "$f" ]] && { printf '%s\n' "$f"; return 0; }
    done
    return 1
}

fetch_source() {
    local pkg="$1"
    stage_begin "fetch-$pkg"
    if stamp_ok "fetch-$pkg"; then
        local v; v=$(cat "$STAMP_DIR/fetch-$pkg.done")
        if find_orig "$pkg" "$v" >/dev/null; then
            stage_end "fetch-$pkg" "cached $v"
            return 0
        fi
    fi
    local versions v got=""
    # All versions apt knows, newest first (dpkg ordering).
    versions=$(apt-cache showsrc --only-source "$pkg" | awk '/^Version:/{print $2}' | sort -u | {
        mapfile -t vs
        for ((i = 0; i < ${#vs[@]}; i++)); do
            for ((j = i + 1; j < ${#vs[@]}; j++)); do
                if dpkg --compare-versions "${vs[j]}" gt "${vs[i]}"; then
                    t=${vs[i]}; vs[i]=${vs[j]}; vs[j]=$t
                fi
            done
        done
        ((${#vs[@]} == 0)) || printf '%s\n' "${vs[@]}"
    }) || true
    [[ -n "$versions" ]] || die "apt knows no source package '$pkg'"
    for v in $versions; do
        log "apt-get source --download-only $pkg=$v"
        if (cd "$SRC_DIR" && apt-get source -q --download-only --only-source "$pkg=$v") \
                >>"$LOG_DIR/fetch-$pkg.log" 2>&1 && find_orig "$pkg" "$v" >/dev/null; then
            got="$v"
            break
        fi
        log "  $pkg $v not downloadable from the mirror, trying an older version"
    done
    if [[ -z "$got" ]]; then
        tail -n 30 "$LOG_DIR/fetch-$pkg.log" >&2 || true
        die "could not download any version of source package '$pkg' (tried: ${versions//$'\n'/ })"
    fi
    stamp_write "fetch-$pkg" "$got"
    stage_end "fetch-$pkg" "downloaded $got"
}

for p in "${SRC_PKGS[@]}"; do fetch_source "$p"; done

# extract PKG DEST: unpack the upstream tarball (no Debian patches) afresh.
extract() {
    local pkg="$1" dest="$2" v orig
    v=$(cat "$STAMP_DIR/fetch-$pkg.done")
    orig=$(find_orig "$pkg" "$v") || die "upstream tarball of $pkg $v missing in $SRC_DIR"
    rm -rf "$dest"
    mkdir -p "$dest"
    tar -xf "$orig" -C "$dest" --strip-components=1 || die "cannot extract $orig"
}

pkg_version() { cat "$STAMP_DIR/fetch-$1.done"; }

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
# 4b. OpenSSL libcrypto and libssl (libcurl's TLS)
# ---------------------------------------------------------------------------
stage_begin openssl
if stamp_ok openssl && [[ -f "$PREFIX/lib/libcrypto.a" && -f "$PREFIX/lib/libssl.a" && -f "$PREFIX/include/openssl/opensslv.h" ]]; then
    stage_end openssl "cached"
else
    rm -f "$STAMP_DIR/openssl.done" "$LOG_DIR/openssl.log"
    SSL_SRC="$BUILD_DIR/openssl-src"
    extract openssl "$SSL_SRC"
    (
        cd "$SSL_SRC"
        # The cross prefix is prepended to CC/AR/RANLIB/RC: CC=gcc-posix gives
        # x86_64-w64-mingw32-gcc-posix (posix thread model).  No --prefix:
        # files are copied by hand, and the built-in OPENSSLDIR keeps its
        # Windows default instead of a path of this machine.
        # no-apps / no-docs only exist from OpenSSL 3.2 on; pass what this
        # version knows (only the two libraries are built anyway).
        ssl_opts=(no-shared no-module)
        for o in apps tests docs; do
            if perl -ne 'print if /^my \@disablables = \(/ .. /^\s*\);/' Configure \
                    | grep "\"$o\"" >/dev/null; then
                ssl_opts+=("no-$o")
            fi
        done
        run_logged openssl env CC=gcc-posix CXX=g++-posix AR=ar RANLIB=ranlib RC=windres \
            perl ./Configure mingw64 "${ssl_opts[@]}" \
            --cross-compile-prefix="$TRIPLET-"
        grep -qE "^CC=\\\$\\(CROSS_COMPILE\\)gcc-posix" Makefile \
            || die "openssl: Makefile does not use $TRIPLET-gcc-posix"
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

# ---------------------------------------------------------------------------
# 4c. libcurl: HTTP and HTTPS (OpenSSL, no CA bundle of its own: the agent names its CA), zlib, static
# ---------------------------------------------------------------------------
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
        # PKG_CONFIG=false keeps the host's .pc files (e.g. libpsl, nghttp2) out.
        # --disable-pthreads: the threaded resolver then uses Win32 threads
        # instead of winpthreads.
        run_logged curl ./configure \
            --host="$TRIPLET" \
            CC="$CC_WIN" AR="$TRIPLET-ar" RANLIB="$TRIPLET-ranlib" RC="$TRIPLET-windres" \
            PKG_CONFIG=false \
            CPPFLAGS="-I$PREFIX/include -I$MINGW_SYSROOT/include" LDFLAGS="-L$PREFIX/lib -L$MINGW_SYSROOT/lib" \
            LIBS="-lssl -lcrypto -lws2_32 -lcrypt32 -lbcrypt -luser32 -ladvapi32" \
            --prefix="$PREFIX" \
            --disable-shared --enable-static \
            --with-openssl="$PREFIX" --with-zlib="$MINGW_SYSROOT" \
            --disable-ftp --disable-file --disable-ldap --disable-ldaps \
            --disable-rtsp --disable-dict --disable-telnet --disable-tftp \
            --disable-pop3 --disable-imap --disable-smtp --disable-gopher \
            --disable-mqtt --disable-smb --disable-manual --disable-ntlm-wb \
            --disable-unix-sockets \
            --enable-threaded-resolver --disable-pthreads \
            --without-libpsl --without-brotli --without-zstd \
            --without-libidn2 --without-winidn --without-nghttp2 --without-nghttp3 \
            --without-ngtcp2 --without-quiche --without-msh3 \
            --without-libssh --without-libssh2 --without-wolfssh \
            --without-librtmp --without-libgsasl \
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
