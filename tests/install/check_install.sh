#!/usr/bin/env bash
# What a user of the installed software sees, checked from the outside:
#   consumer BUILD SOURCE  - a program of someone else's builds and runs against a test install
#   man SOURCE             - every man page renders without a warning
#   package BUILD SOURCE   - the Debian package builds, lintian's findings are shown (errors
#                            fail), and keyprobe run from the unpacked package reads a termsim
#                            terminal over TCP
#   umockdev BUILD DATA    - keyprobe-check lists a hidraw terminal replayed by umockdev and
#                            says whether user nobody can open it, with and without access
set -euo pipefail
mode=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/keyprobe-install-test.XXXXXX")
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

case $mode in
consumer)
    build=$2 source=$3
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    cmake -S "$source/tests/install/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
    cmake --build "$work/consumer" >/dev/null
    "$work/consumer/consumer"
    ;;
man)
    source=$2
    status=0
    for page in "$source"/man/*.[1-9]; do
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        if [ -n "$warnings" ]; then
            echo "$page:"; echo "$warnings"; status=1
        fi
    done
    exit $status
    ;;
package)
    build=$2 source=$3
    cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >/dev/null
    deb=$(ls "$work"/deb/keyprobe_*.deb)
    echo "built $(basename "$deb")"
    if command -v lintian >/dev/null; then
        findings=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
        echo "lintian: ${findings:-no findings}"
        if grep -q '^E:' <<<"$findings"; then exit 1; fi
    else
        echo "lintian: not installed, not run"
    fi

    root=$work/root
    dpkg-deb -x "$deb" "$root"
    for f in usr/bin/keyprobe usr/bin/termsim usr/bin/keyprobe-check usr/lib/libIOClassLib.a \
             usr/lib/cmake/IOClassLib/IOClassLibConfig.cmake usr/share/man/man1/keyprobe.1.gz \
             usr/share/man/man7/ioclasslib.7.gz usr/share/doc/keyprobe/examples/registry.reg \
             usr/share/doc/keyprobe/copyright; do
        [ -e "$root/$f" ] || { echo "missing from the package: $f"; exit 1; }
    done
    grep -q 'SUBSYSTEM=="hidraw".*GROUP="plugdev"' "$root/usr/lib/udev/rules.d/60-keyprobe.rules"

    "$root/usr/bin/termsim" --transport tcp --ms LL8LLLLLLL --max-seconds 120 >"$work/ready" 2>"$work/sim.err" &
    sim_pid=$!
    for _ in $(seq 100); do grep -q READY "$work/ready" && break; sleep 0.1; done
    port=$(awk '/^READY tcp/ {print $4}' "$work/ready")
    [ -n "$port" ] || { echo "termsim did not start"; cat "$work/sim.err"; exit 1; }
    printf '[Connection]\nConnectType=TCP/IP Port\nIPAddress=127.0.0.1\nIPPort=%s\n' "$port" >"$work/tcp.ini"

    export IOCLASSLIB_REGISTRY=$work/none.reg IOCLASSLIB_DOSDEVICES=$work/none
    "$root/usr/bin/keyprobe-check" "$work/tcp.ini" >"$work/check.txt" || { cat "$work/check.txt"; exit 1; }
    "$root/usr/bin/keyprobe" "$work/tcp.ini" "$work/keys.txt" >/dev/null
    [ "$(grep -c 'Key Is' "$work/keys.txt")" = 20 ]
    grep -q '^Master Key 2: Key Is Not Present' "$work/keys.txt"
    echo "keyprobe from the package: $(grep -c 'Key Is Present' "$work/keys.txt") of 20 keys present"
    ;;
umockdev)
    check=$2/tools/keyprobe-check/keyprobe-check data=$3
    export IOCLASSLIB_REGISTRY=$work/none.reg IOCLASSLIB_DOSDEVICES=$work/none
    chmod 755 "$work"
    # Inside the testbed: the emulated node is a pseudo-terminal, whose mode decides access.
    umockdev-run -d "$data" -- sh -c '
        chmod 755 "$UMOCKDEV_DIR"
        chmod 0777 "$UMOCKDEV_DIR"/ioctl/* 2>/dev/null || true
        nodes="$(readlink -f "$UMOCKDEV_DIR/dev/hidraw0") $UMOCKDEV_DIR/dev/bus/usb/001/004"
        as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; }
        chmod 0666 $nodes; as_nobody "$1" >"$2/with.txt" || true
        chmod 0600 $nodes; as_nobody "$1" >"$2/without.txt" || true' sh "$check" "$work"
    expect() {
        grep -qF -- "$2" "$work/$1" || { echo "$1 lacks: $2"; cat "$work/$1"; exit 1; }
    }
    expect with.txt '/dev/hidraw0  (1209:0001, \\?\hid#vid_1209&pid_0001#hidraw_hidraw0#'
    expect with.txt '[terminal]
    this user can open it'
    expect without.txt 'this user cannot open it: permission denied (root:'
    expect without.txt 'fix: install the package'"'"'s udev rules'
    # The library lists no USB device this user may not open; the check still names it.
    expect without.txt '/dev/bus/usb/001/004  (1209:0001, usb 1-4, not in the library'"'"'s USBIO list)  [terminal]
    this user cannot open it: permission denied (root:root, mode 0600)'
    sed -n '/USB HID devices/,/^Input/p' "$work/without.txt"
    ;;
*)
    echo "usage: $0 consumer|man|package|umockdev ..." >&2
    exit 2
    ;;
esac
