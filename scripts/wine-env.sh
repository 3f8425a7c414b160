# shellcheck shell=bash
# Sourced by wine-run and test-all: one Wine prefix and one persistent
# wineserver shared by every Windows test program of a run.
#
# Under qemu user emulation a Wine process is expensive to start, and a fresh
# wineserver first boots the prefix's services, so the server is kept alive
# between programs and only stopped when no run is using it any more.

HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
export HOME
export WINEPREFIX="${VELKOR_WINEPREFIX:-$HOME/.cache/velkor/wineprefix}"
export WINEARCH=win32
export WINEDEBUG=-all
# No Mono/Gecko installer prompts, no menu entries, and no debugger attaching
# to a crashed test: the crash must end the program with a failing status.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
# Headless: never open windows on a developer's display.
unset DISPLAY WAYLAND_DISPLAY

# Seconds the server stays up after its last program exits.
readonly velkor_wineserver_linger=300
readonly velkor_wine_lock="$WINEPREFIX.lock"
readonly velkor_wine_users="$WINEPREFIX.users"
readonly velkor_wine_ready="$WINEPREFIX/.velkor-ready"
readonly velkor_wine_booting="$WINEPREFIX/.velkor-booting"
readonly velkor_wine_log="$WINEPREFIX.log"

# Registers process $1 as a user of the prefix, creates the prefix when it is
# missing and makes sure a persistent wineserver runs, booted. Wine processes
# are started with the lock closed, or the daemons they leave behind would
# hold it, and with their output in a log: a daemon holding a test's pipe
# makes CTest wait for it.
wine_prepare() {
    local user_pid=$1 lock status=0
    mkdir -p "$(dirname "$WINEPREFIX")" "$velkor_wine_users"
    exec {lock}>"$velkor_wine_lock"
    flock -x "$lock"
    : >"$velkor_wine_users/$user_pid"
    if [[ ! -e $velkor_wine_ready ]]; then
        # Creating a prefix that was interrupted leaves one Wine would not
        # repair. Only a prefix created here is ever removed.
        if [[ -e $velkor_wine_booting ]]; then
            wineserver -k {lock}>&- 2>/dev/null || true
            rm -rf "$WINEPREFIX"
        fi
        if [[ ! -d $WINEPREFIX ]]; then
            mkdir -p "$WINEPREFIX" && : >"$velkor_wine_booting"
        fi
        # A new prefix is created by a server of its own, which is left to
        # finish and save it: a driver installed right after the creation
        # finds its service not there yet.
        if [[ -e $velkor_wine_booting ]]; then
            wine wineboot -i {lock}>&- </dev/null >"$velkor_wine_log" 2>&1
            wineserver -w {lock}>&- 2>/dev/null
        fi
    fi
    # Exits with status 2 when a server for this prefix already runs.
    local started=false
    if wineserver -p"$velkor_wineserver_linger" {lock}>&- </dev/null >/dev/null 2>&1; then
        started=true
    fi
    if $started || [[ ! -e $velkor_wine_ready ]]; then
        # The first program of a new server boots the prefix (creating it if
        # need be) and starts its services: let that be a trivial one rather
        # than a test. Running wineboot itself would start the services twice.
        if ! wine cmd /c exit {lock}>&- </dev/null >"$velkor_wine_log" 2>&1 ||
            [[ ! -d $WINEPREFIX/dosdevices ]]; then
            echo "wine: booting the prefix $WINEPREFIX failed, see $velkor_wine_log" >&2
            status=1
        else
            rm -f "$velkor_wine_booting"
            : >"$velkor_wine_ready"
        fi
    fi
    exec {lock}>&-
    return "$status"
}

# Unregisters process $1 and stops the wineserver, and with it the prefix's
# services, once no living process uses the prefix. Waits for a boot in
# progress instead of cutting it short.
wine_release() {
    local user_pid=$1 lock entry
    [[ -d $velkor_wine_users ]] || return 0
    exec {lock}>"$velkor_wine_lock"
    flock -x "$lock"
    rm -f "$velkor_wine_users/$user_pid"
    for entry in "$velkor_wine_users"/*; do
        [[ -e $entry ]] || continue
        if kill -0 "${entry##*/}" 2>/dev/null; then
            exec {lock}>&-
            return 0
        fi
        rm -f "$entry"
    done
    wineserver -k {lock}>&- 2>/dev/null || true
    exec {lock}>&-
}
