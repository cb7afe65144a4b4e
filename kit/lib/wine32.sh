#!/usr/bin/env bash
# Runs 32-bit Windows programs without touching the host's packages: a
# Debian 13 root file system with Wine 10 (wine64 + wine32:i386), entered
# through a user namespace. Where the kernel runs 32-bit x86 code, the
# root's 32-bit Wine loader runs natively; where it does not, qemu-i386
# executes 32-bit code through a binfmt_misc registration private to the
# namespace, with a loader linked high (kit/lib/wine32-loader.c) bound over
# Wine's own so that fixed-base programs can load at 0x00400000. Nothing is
# changed on the host outside the root's folder: no apt source, no
# binfmt_misc entry, and everything mounted or started in a namespace ends
# with it.
#
#   kit/lib/wine32.sh setup     builds the root once (about 470 MB downloaded,
#                               3.2 GB on disk) with a ready 64-bit Wine
#                               prefix; does nothing when it is already built
#   kit/lib/wine32.sh root      prints the root's folder
#   kit/lib/wine32.sh mode      prints "host" when this machine runs 32-bit
#                               Wine itself (wine32 installed and working),
#                               else "root"
#   kit/lib/wine32.sh exec-mode prints how the root's 32-bit code runs:
#                               "native" where the kernel runs it, else
#                               "qemu"
#   kit/lib/wine32.sh run [--bind DIR]... [--prefix DIR] -- COMMAND...
#                               runs COMMAND (a host program) in a new
#                               namespace where $QUORIN_WINE32_CHROOT is the
#                               root, ready for `chroot`: /proc, /dev, /sys,
#                               a private /tmp and the DIRs at their own
#                               paths; writes to the root go to memory and
#                               vanish. --prefix DIR (inside a bound DIR)
#                               mounts there a copy-on-write copy of the
#                               ready prefix whose changes are kept in
#                               DIR.changes, so that later namespaces see
#                               them.
#
# QUORIN_WINE32_ROOT chooses the root's folder (default
# /var/cache/quorin64/wine32), QUORIN_DEBIAN_MIRROR the archive (default: the
# one this machine's apt uses), QUORIN_WINE32=host|root forces the mode,
# QUORIN_WINE32_EXEC=native|qemu how 32-bit code runs in the root (native
# fails on a machine whose kernel refuses 32-bit code).
set -euo pipefail

ROOT=${QUORIN_WINE32_ROOT:-/var/cache/quorin64/wine32}
STAMP="$ROOT/.quorin64-root"
# Bumped whenever the recipe below changes, so an older root is rebuilt.
RECIPE="quorin64 wine32 root 1: trixie wine wine64 wine32:i386 qemu-i386 prefix"
# The high-linked loader is built into the root after it; a new loader
# source rebuilds only the loader. Both lines make the stamp.
LOADER_SOURCE="$(cd "$(dirname "$0")" && pwd)/wine32-loader.c"
LOADER=/opt/quorin64/wine-high  # inside the root
loader_recipe() {
    echo "high-linked loader 1: $(sha256sum < "$LOADER_SOURCE" | cut -c1-16)"
}
TEMPLATE=/opt/quorin64/prefix   # the ready prefix, inside the root
WINE_ENV=(PATH=/usr/local/bin:/usr/bin:/bin HOME=/root USER=root LC_ALL=C.UTF-8
          XDG_RUNTIME_DIR=/tmp/xdg WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=')
# binfmt_misc decodes the escapes itself: i386 ELF executables go to qemu-i386.
# F opens the interpreter now, so its path outside the chroot stays valid;
# P keeps argv[0].
BINFMT_I386=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

die() { echo "wine32.sh: $*" >&2; exit 1; }

mode() {
    case ${QUORIN_WINE32:-} in
        host|root) echo "$QUORIN_WINE32"; return ;;
        "") ;;
        *) die "QUORIN_WINE32 must be host or root" ;;
    esac
    # The host's 32-bit Wine loader only exists with wine32, and only starts
    # where the kernel runs 32-bit code.
    if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version > /dev/null 2>&1; then
        echo host
    else
        echo root
    fi
}

# The archive this machine's apt uses for its own release (deb822 or
# one-line sources), so the root comes from the same place.
debian_mirror() {
    if [ -n "${QUORIN_DEBIAN_MIRROR:-}" ]; then
        echo "$QUORIN_DEBIAN_MIRROR"
        return
    fi
    local codename files=() mirror=""
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    shopt -s nullglob
    files=(/etc/apt/sources.list.d/*.sources)
    if [ ${#files[@]} -gt 0 ]; then
        mirror=$(awk -v suite="$codename" '
            BEGIN { RS = ""; FS = "\n" }
            {
                types = uris = suites = ""; enabled = 1
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^Types:/) types = " " substr($i, 7) " "
                    if ($i ~ /^URIs:/) uris = substr($i, 6)
                    if ($i ~ /^Suites:/) suites = " " substr($i, 8) " "
                    if ($i ~ /^Enabled:[ \t]*no/) enabled = 0
                }
                if (enabled && types ~ /[ \t]deb[ \t]/ && suites ~ "[ \t]" suite "[ \t]") {
                    split(uris, list, " "); print list[1]; exit
                }
            }' "${files[@]}")
    fi
    files=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list)
    if [ -z "$mirror" ] && [ ${#files[@]} -gt 0 ]; then
        mirror=$(awk -v suite="$codename" '
            $1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                if ($(i + 1) == suite) { print $i; exit }
            }' "${files[@]}" 2> /dev/null)
    fi
    [ -n "$mirror" ] || die "no Debian archive found in /etc/apt; set QUORIN_DEBIAN_MIRROR"
    echo "$mirror"
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

setup() {
    if [ "$(mode)" = host ]; then
        echo "This machine runs 32-bit Wine itself: nothing to set up."
        return
    fi
    as_root mkdir -p "$(dirname "$ROOT")"
    # One build at a time; a second caller waits and then finds it ready.
    if [ -w "$(dirname "$ROOT")" ]; then
        exec 9> "$ROOT.lock"
        flock 9
    fi
    local loader
    loader=$(loader_recipe)
    if [ -f "$STAMP" ] && [ "$(sed -n 1p "$STAMP")" = "$RECIPE" ]; then
        if [ "$(sed -n 2p "$STAMP")" != "$loader" ]; then
            build_loader
            printf '%s\n%s\n' "$RECIPE" "$loader" | as_root tee "$STAMP" > /dev/null
        fi
        echo "32-bit Wine root: $ROOT (ready)"
        return
    fi
    command -v mmdebstrap > /dev/null || die "mmdebstrap is missing (scripts/prerequisites.sh)"
    local mirror partial="$ROOT.partial"
    mirror=$(debian_mirror)
    echo "Building the 32-bit Wine root in $ROOT from $mirror (once; a few minutes) ..."
    as_root rm -rf "$partial"
    # Only qemu-i386 is taken from trixie's qemu-user package.
    as_root mmdebstrap --quiet --variant=minbase --architectures=amd64,i386 \
        --include=wine,wine64,wine32:i386 \
        --dpkgopt='path-exclude=/usr/share/man/*' \
        --dpkgopt='path-exclude=/usr/share/locale/*' \
        --dpkgopt='path-exclude=/usr/share/doc/*' \
        --aptopt='APT::Sandbox::User "root"' \
        --customize-hook='chroot "$1" sh -c "cd /tmp && apt-get download -q qemu-user >/dev/null && dpkg --fsys-tarfile qemu-user_*.deb | tar -x -C / ./usr/bin/qemu-i386 && rm qemu-user_*.deb"' \
        --customize-hook='mkdir -p "$1/opt/quorin64"' \
        trixie "$partial" "$mirror"
    as_root rm -rf "$ROOT"
    as_root mv "$partial" "$ROOT"
    build_loader
    echo "Creating the ready Wine prefix ..."
    (export QUORIN_WINE32_WRITABLE=1; run -- bash -c 'chroot "$QUORIN_WINE32_CHROOT" env -i "$@" sh -c "
            mkdir -p '"$TEMPLATE"' && wineboot --init && wineserver -w"' \
        - "${WINE_ENV[@]}" WINEPREFIX="$TEMPLATE" > /dev/null 2>&1) ||
        die "the prefix could not be created"
    as_root test -f "$ROOT$TEMPLATE/system.reg" || die "the prefix was not kept"
    printf '%s\n%s\n' "$RECIPE" "$loader" | as_root tee "$STAMP" > /dev/null
    echo "32-bit Wine root ready: $(as_root du -sh "$ROOT" | cut -f1) in $ROOT"
}

# The loader of kit/lib/wine32-loader.c, linked at 0x7d000000 (not
# position-independent, so qemu-i386 maps it there) against the root's own
# C library; the host's gcc and ld need no i386 headers or libraries.
build_loader() {
    command -v gcc > /dev/null || die "gcc is missing (scripts/prerequisites.sh)"
    local tmp lib="$ROOT/usr/lib/i386-linux-gnu"
    tmp=$(mktemp -d)
    gcc -m32 -fno-pic -fno-pie -O2 -fno-stack-protector -Wall -Wextra -Werror \
        -c "$LOADER_SOURCE" -o "$tmp/loader.o" &&
        ld -m elf_i386 -Ttext-segment=0x7d000000 --export-dynamic -z noexecstack \
            -dynamic-linker /lib/ld-linux.so.2 -o "$tmp/wine-high" "$tmp/loader.o" \
            "$lib/libc.so.6" "$lib/ld-linux.so.2" ||
        { rm -rf "$tmp"; die "the high-linked loader could not be built"; }
    as_root install -D -m 755 "$tmp/wine-high" "$ROOT$LOADER"
    rm -rf "$tmp"
}

# Whether the kernel runs the root's own i386 dynamic loader.
runs_32bit_code() {
    "$ROOT/usr/lib/i386-linux-gnu/ld-linux.so.2" --version > /dev/null 2>&1
}

# How 32-bit code runs in the root: natively where the kernel runs it, else
# under qemu-i386.
exec_mode() {
    case ${QUORIN_WINE32_EXEC:-} in
        qemu) echo qemu ;;
        native)
            runs_32bit_code ||
                die "QUORIN_WINE32_EXEC=native, but this machine does not run 32-bit x86 code"
            echo native ;;
        "")
            if runs_32bit_code; then echo native; else echo qemu; fi ;;
        *) die "QUORIN_WINE32_EXEC must be native or qemu" ;;
    esac
}

# Inside the new namespaces (we are root there): mounts, then COMMAND.
inside() {
    local session=$1 prefix=$2
    shift 2
    local binds=()
    while [ "$1" != -- ]; do binds+=("$1"); shift; done
    shift
    mount -t tmpfs -o mode=755 quorin64 "$session"
    mkdir -p "$session/changes" "$session/work" "$session/root"
    if [ "${QUORIN_WINE32_WRITABLE:-}" = 1 ]; then  # setup only: changes stay
        mount --bind "$ROOT" "$session/root"
    else
        mount -t overlay overlay \
            -o "lowerdir=$ROOT,upperdir=$session/changes,workdir=$session/work" "$session/root"
    fi
    local new="$session/root"
    mount -t proc proc "$new/proc"
    mount --rbind /dev "$new/dev"
    mount --rbind /sys "$new/sys"
    mount -t tmpfs -o mode=1777 tmp "$new/tmp"
    mkdir -m 700 "$new/tmp/.wine-0" "$new/tmp/xdg"
    if [ -n "$prefix" ]; then
        mkdir -p "$prefix" "$prefix.changes/upper" "$prefix.changes/work"
        local layers="lowerdir=$ROOT$TEMPLATE,upperdir=$prefix.changes/upper"
        mount -t overlay overlay -o "$layers,workdir=$prefix.changes/work" "$prefix"
    fi
    local dir
    for dir in "${binds[@]}"; do
        mkdir -p "$new$dir"
        mount --rbind "$dir" "$new$dir"
    done
    local how
    how=$(exec_mode)
    if [ "$how" = qemu ]; then
        [ -f "$ROOT$LOADER" ] || die "no high-linked loader in $ROOT: run kit/lib/wine32.sh setup"
        mount --bind "$ROOT$LOADER" "$new/usr/lib/wine/wine"
        mkdir -p /proc/sys/fs/binfmt_misc 2> /dev/null || true
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
        printf '%s' "$BINFMT_I386:$ROOT/usr/bin/qemu-i386:FP" > /proc/sys/fs/binfmt_misc/register
    fi
    export QUORIN_WINE32_CHROOT="$new" QUORIN_WINE32_EXEC="$how"
    exec "$@"
}

run() {
    local binds=() prefix=""
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        case $1 in
            --bind) binds+=("$(realpath "$2")"); shift 2 ;;
            --prefix) prefix=$(realpath -m "$2"); shift 2 ;;
            *) die "unknown option $1" ;;
        esac
    done
    [ $# -gt 1 ] || die "usage: wine32.sh run [--bind DIR]... [--prefix DIR] -- COMMAND..."
    shift
    [ -d "$ROOT/usr/lib/wine" ] || die "no 32-bit Wine root in $ROOT: run kit/lib/wine32.sh setup"
    if [ -n "$prefix" ]; then
        local inside_bind=0 dir
        for dir in "${binds[@]}"; do
            case $prefix/ in "$dir"/*) inside_bind=1 ;; esac
        done
        [ $inside_bind = 1 ] || die "--prefix $prefix is not inside a --bind folder"
    fi
    # The namespaces' own mount point: an empty folder beside the root.
    local session="$ROOT.session"
    [ -d "$session" ] || as_root mkdir -p "$session"
    unshare --user --map-root-user --mount --pid --fork --kill-child \
        --propagation private -- bash "$0" __inside "$session" "$prefix" "${binds[@]}" -- "$@"
}

case ${1:-} in
    setup) setup ;;
    mode) mode ;;
    exec-mode) exec_mode ;;
    root) echo "$ROOT" ;;
    run) shift; run "$@" ;;
    __inside) shift; inside "$@" ;;
    *) die "usage: wine32.sh setup | root | mode | exec-mode | run [--bind DIR]... [--prefix DIR] -- COMMAND..." ;;
esac
