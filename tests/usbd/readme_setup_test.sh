#!/usr/bin/env bash
# usbd/README.md's host set-up, run as written in a scratch root: /etc is the
# root's, the machine's own commands (groupadd, usermod, udevadm, systemctl)
# are recorded instead of run, cmake's configure and build steps stand for the
# build under test (their VELKOR_USBD_IDS go to the rule's script) and its
# install step installs that build under the root through DESTDIR. Then what
# the steps made must serve: the rule opens the device, the unit starts the
# installed daemon, and the daemon reads the configuration and names the
# device.
#   readme_setup_test.sh README BUILD_DIR SOURCE_DIR
set -uo pipefail
readme=$1 build=$2 source=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
calls=$root/calls
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

steps=$(awk '/^## Setting up a Linux host/ {section = 1} section && /^```/ {if (inside) exit; inside = 1; next}
             inside {print}' "$readme")
[[ -n $steps ]] || { echo "no set-up steps in $readme"; exit 1; }

(
    set -e
    groupadd() { echo "groupadd $*" >>"$calls"; }
    usermod() { echo "usermod $*" >>"$calls"; }
    udevadm() { echo "udevadm $*" >>"$calls"; }
    systemctl() { echo "systemctl $*" >>"$calls"; }
    cmake() {
        case $1 in
        --preset)
            local argument
            for argument in "$@"; do
                [[ $argument == -DVELKOR_USBD_IDS=* ]] && echo "${argument#-DVELKOR_USBD_IDS=}" >"$root/ids"
            done ;;
        --build) ;;
        --install)
            [[ $2 == build/linux ]] || { echo "installs $2, not build/linux"; return 1; }
            shift 2
            DESTDIR=$root command cmake --install "$build" "$@" >/dev/null ;;
        *) echo "unexpected: cmake $*"; return 1 ;;
        esac
    }
    USER=${USER:-root}
    eval "${steps//\/etc\//$root/etc/}"
)
# Not tested where it runs, or set -e would not stop at a failed step.
status=$?
((status == 0)) || fail "a step failed ($status)"

for call in "groupadd --system velkor" "usermod -aG velkor" "udevadm control --reload" "udevadm trigger" \
    "systemctl daemon-reload" "systemctl enable --now drova-usbd"; do
    grep -q "^$call" "$calls" 2>/dev/null || fail "no step runs '$call'"
done

# The rule the configure step's identifiers make opens the device to the group.
ids=$(cat "$root/ids" 2>/dev/null | tr -d '"')
[[ -n $ids ]] || fail "the configure step names no device for the udev rule"
command cmake "-DVELKOR_USBD_IDS=$ids" "-DOUTPUT=$root/rule" -P "$source/usbd/udev_rules.cmake" || fail "rule script"
grep -q '^SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="1a2b", ATTR{idProduct}=="3c4d", .*GROUP="velkor"' \
    "$root/rule" || fail "the rule opens no 1a2b:3c4d: $(cat "$root/rule")"

prefix=$root/usr/local
[[ -f $prefix/lib/udev/rules.d/70-drova-usbd.rules ]] || fail "no udev rule where udev reads it"
grep -qx "ExecStart=/usr/local/bin/drova-usbd" "$prefix/lib/systemd/system/drova-usbd.service" ||
    fail "the unit does not start /usr/local/bin/drova-usbd"
[[ -x $prefix/bin/drova-usbd && -f $prefix/share/man/man1/drova-usbd.1 ]] || fail "no daemon or man page installed"

# The installed daemon takes the configuration written.
config=$root/etc/velkor/usbd.json
[[ -f $config ]] || fail "no $config"
"$prefix/bin/drova-usbd" -c "$config" -d "$root/run/usb" >"$root/daemon.log" 2>&1 &
daemon=$!
for _ in $(seq 100); do
    grep -q "watching for" "$root/daemon.log" && break
    kill -0 "$daemon" 2>/dev/null || break
    sleep 0.1
done
kill "$daemon" 2>/dev/null
wait "$daemon"
grep -q "watching for 1a2b:3c4d (interface 0); endpoints in $root/run/usb" "$root/daemon.log" ||
    fail "drova-usbd with $config said: $(cat "$root/daemon.log")"
exit $((failures > 0))
