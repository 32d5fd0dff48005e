# Sourced by the dependency builders (scripts/build-win-deps.sh, scripts/build-linux-deps.sh): the cache outside
# the clone keyed by the recipe, the logged stages and stamps, and Debian's source packages (deb-src entries,
# download of the newest version the mirror still has, unpacking of the upstream tarball).
#
# The caller sets DEPS_TAG (its log tag and the cache's name) and SRC_PKGS, then calls
#   deps_cache_dir "${BASH_SOURCE[0]}" "${1:-}"   (sets CACHE_DIR and the folders below, takes the cache's lock)
#   deps_install_missing PKG...                   (apt-get installs what is not installed)
#   deps_enable_sources; deps_fetch_sources
#   deps_openssl TARGET [CONFIGURE ARG...]         (libcrypto.a, libssl.a and their headers; OPENSSL_ENV and
#                                                   OPENSSL_CHECK may be set by the caller)
#   deps_curl [CONFIGURE ARG...]                   (libcurl.a with HTTP and HTTPS over that OpenSSL, zlib)

SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
REPO_ROOT="$(cd "$SCRIPT_DIR/.." && pwd)"
JOBS=2
COMMON_SCRIPT="${BASH_SOURCE[0]}"

# deps_cache_dir RECIPE [DIR]: the build lives outside the clone, keyed by the builder's recipe name (bumped by
# hand when what is built or how changes), so a fresh clone on the same machine (CI's) finds it; <repo>/.cache/$DEPS_TAG is a link to it, where
# CMake looks. Builders of the same recipe share the folder, so they take turns: the second waits on the lock
# and then finds the stamps of the first.
deps_cache_dir() {
    local recipe="$1" dir="${2:-}"
    if [[ -n "$dir" ]]; then
        CACHE_DIR="$dir"
    else
        CACHE_DIR="${TAVREL_DEPS_CACHE:-/var/cache/tavrel-agent}/$DEPS_TAG-$recipe"
        mkdir -p "$CACHE_DIR" "$REPO_ROOT/.cache"
        if [[ "$(readlink "$REPO_ROOT/.cache/$DEPS_TAG" 2>/dev/null)" != "$CACHE_DIR" ]]; then
            rm -rf "$REPO_ROOT/.cache/$DEPS_TAG"
            ln -s "$CACHE_DIR" "$REPO_ROOT/.cache/$DEPS_TAG"
        fi
    fi
    mkdir -p "$CACHE_DIR"
    CACHE_DIR="$(cd "$CACHE_DIR" && pwd)"
    exec {DEPS_LOCK_FD}>"$CACHE_DIR/.lock"
    if ! flock -n "$DEPS_LOCK_FD"; then
        printf '[%s] another build of %s is running; waiting for it\n' "$DEPS_TAG" "$CACHE_DIR"
        flock "$DEPS_LOCK_FD"
    fi

    SRC_DIR="$CACHE_DIR/src"
    BUILD_DIR="$CACHE_DIR/build"
    PREFIX="$CACHE_DIR/prefix"
    SYSINC="$CACHE_DIR/sysinc"
    LOG_DIR="$CACHE_DIR/logs"
    STAMP_DIR="$CACHE_DIR/stamps"
    mkdir -p "$SRC_DIR" "$BUILD_DIR" "$PREFIX/include" "$PREFIX/lib" "$LOG_DIR" "$STAMP_DIR"
}

DEBSRC_FILE=/etc/apt/sources.list.d/tavrel-deb-src.sources

export DEBIAN_FRONTEND=noninteractive
export LC_ALL=C

SUMMARY=()

log()  { printf '[%s] %s\n' "$DEPS_TAG" "$*"; }
die()  { printf '[%s] ERROR: %s\n' "$DEPS_TAG" "$*" >&2; exit 1; }

CURRENT_STAGE=""
on_err() {
    local rc=$?
    printf '[%s] ERROR: stage "%s" failed (exit %s)\n' "$DEPS_TAG" "${CURRENT_STAGE:-?}" "$rc" >&2
}
trap on_err ERR

# run_logged LOGNAME CMD...: run CMD with its output going to LOG_DIR/LOGNAME.log;
# on failure show the log's tail and stop.
run_logged() {
    local name="$1"; shift
    local logf="$LOG_DIR/$name.log"
    printf '\n### %s\n### %s\n' "$(date -u '+%F %T')" "$*" >>"$logf"
    if ! "$@" >>"$logf" 2>&1; then
        printf '[%s] ERROR: command failed: %s\n' "$DEPS_TAG" "$*" >&2
        printf '[%s] ---- last lines of %s ----\n' "$DEPS_TAG" "$logf" >&2
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

# deps_install_missing PKG...: installs the Debian packages not installed yet and ends the current stage.
deps_install_missing() {
    local p missing=()
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep 'install ok installed' >/dev/null; then
            missing+=("$p")
        fi
    done
    if ((${#missing[@]})); then
        log "installing: ${missing[*]}"
        run_logged apt apt-get update -q
        run_logged apt apt-get install -y -q --no-install-recommends "${missing[@]}"
        stage_end "$CURRENT_STAGE" "installed ${#missing[@]} pkg(s)"
    else
        stage_end "$CURRENT_STAGE" "present"
    fi
}

# ---------------------------------------------------------------------------
# deb-src entries
# ---------------------------------------------------------------------------

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
    { echo "# deb-src entries added by scripts/deps-common.sh"; cat "$tmp"; } >"$DEBSRC_FILE"
    rm -f "$tmp"
    chmod 644 "$DEBSRC_FILE"
}

deps_enable_sources() {
    stage_begin deb-src
    local p cached=1
    for p in "${SRC_PKGS[@]}"; do stamp_ok "fetch-$p" || cached=0; done
    if ((cached)); then
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
}

# ---------------------------------------------------------------------------
# source download (newest version whose files the mirror still has)
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

deps_fetch_sources() {
    local p
    for p in "${SRC_PKGS[@]}"; do fetch_source "$p"; done
}

# ---------------------------------------------------------------------------
# OpenSSL and libcurl, the same recipe for both targets
# ---------------------------------------------------------------------------

# openssl_knows OPT: whether this OpenSSL's Configure accepts no-OPT (no-apps and no-docs came with 3.2).
openssl_knows() {
    perl -ne 'print if /^my \@disablables = \(/ .. /^\s*\);/' Configure | grep "\"$1\"" >/dev/null
}

# deps_openssl TARGET [ARG...]: only libcrypto.a and libssl.a (libcurl's TLS and the channel's wss). The agent
# runs elevated, so this OpenSSL loads nothing from disk: no engines, no provider modules, no DSO loader at all,
# and no configuration file read by itself (a user may create the folder its built-in OPENSSLDIR names).
# OPENSSL_ENV (array) prefixes Configure (a cross compiler); OPENSSL_CHECK names a function run after it.
deps_openssl() {
    local target="$1"; shift
    stage_begin openssl
    if stamp_ok openssl && [[ -f "$PREFIX/lib/libcrypto.a" && -f "$PREFIX/lib/libssl.a" && -f "$PREFIX/include/openssl/opensslv.h" ]]; then
        stage_end openssl "cached"
        return 0
    fi
    rm -f "$STAMP_DIR/openssl.done" "$LOG_DIR/openssl.log"
    local src="$BUILD_DIR/openssl-src"
    extract openssl "$src"
    (
        cd "$src"
        local opts=(no-shared no-module no-engine no-dso) o
        for o in autoload-config apps tests docs; do
            if openssl_knows "$o"; then opts+=("no-$o"); fi
        done
        openssl_knows autoload-config || die "openssl: this version cannot be built without its automatic configuration load"
        run_logged openssl env "${OPENSSL_ENV[@]}" perl ./Configure "$target" "${opts[@]}" "$@"
        if [[ -n "${OPENSSL_CHECK:-}" ]]; then "$OPENSSL_CHECK"; fi
        run_logged openssl make -j"$JOBS" build_generated
        run_logged openssl make -j"$JOBS" libcrypto.a libssl.a
    ) || exit 1
    cp "$src/libcrypto.a" "$src/libssl.a" "$PREFIX/lib/"
    rm -rf "$PREFIX/include/openssl"
    mkdir -p "$PREFIX/include/openssl"
    cp "$src"/include/openssl/*.h "$PREFIX/include/openssl/"
    stamp_write openssl "$(pkg_version openssl)"
    rm -rf "$src"
    stage_end openssl "built"
}

# deps_curl [ARG...]: static libcurl, HTTP and HTTPS with the OpenSSL above and zlib, nothing else. PKG_CONFIG=false
# keeps the host's .pc files (libpsl, nghttp2, ...) out; no CA bundle of its own (the agent names its CA), and no
# OpenSSL configuration loaded at its global set-up. The caller adds its target's compiler, libraries and zlib.
deps_curl() {
    stage_begin curl
    if stamp_ok curl && [[ -f "$PREFIX/lib/libcurl.a" && -f "$PREFIX/include/curl/curl.h" ]]; then
        stage_end curl "cached"
        return 0
    fi
    rm -f "$STAMP_DIR/curl.done" "$LOG_DIR/curl.log"
    local src="$BUILD_DIR/curl-src"
    extract curl "$src"
    [[ -x "$src/configure" ]] || die "curl: upstream tarball has no configure script"
    (
        cd "$src"
        run_logged curl ./configure PKG_CONFIG=false "$@" \
            --prefix="$PREFIX" --disable-shared --enable-static \
            --with-openssl="$PREFIX" --disable-openssl-auto-load-config \
            --disable-ftp --disable-file --disable-ldap --disable-ldaps \
            --disable-rtsp --disable-dict --disable-telnet --disable-tftp \
            --disable-pop3 --disable-imap --disable-smtp --disable-gopher \
            --disable-mqtt --disable-smb --disable-manual --disable-ntlm-wb \
            --disable-unix-sockets --enable-threaded-resolver \
            --without-libpsl --without-brotli --without-zstd \
            --without-libidn2 --without-nghttp2 --without-nghttp3 \
            --without-ngtcp2 --without-quiche --without-msh3 \
            --without-libssh --without-libssh2 --without-wolfssh \
            --without-librtmp --without-libgsasl \
            --without-ca-bundle --without-ca-path
        grep -q '^#define HAVE_LIBZ 1' lib/curl_config.h || die "curl: configure did not pick up zlib"
        grep -q '^#define USE_OPENSSL 1' lib/curl_config.h || die "curl: configure did not pick up OpenSSL"
        grep -q '^#define CURL_DISABLE_OPENSSL_AUTO_LOAD_CONFIG 1' lib/curl_config.h \
            || die "curl: configure kept the automatic OpenSSL configuration load"
        run_logged curl make -C lib -j"$JOBS"
    ) || exit 1
    cp "$src/lib/.libs/libcurl.a" "$PREFIX/lib/libcurl.a"
    rm -rf "$PREFIX/include/curl"
    mkdir -p "$PREFIX/include/curl"
    cp "$src"/include/curl/*.h "$PREFIX/include/curl/"
    stamp_write curl "$(pkg_version curl)"
    rm -rf "$src"
    stage_end curl "built"
}
