#!/usr/bin/env bash
# Runs a Windows program under Wine; the MinGW build's cross-compiling
# emulator (test discovery and CTest both go through it).
#
#   wine-run.sh PROGRAM.exe [ARGS...]   run the program, exit with its code
#   wine-run.sh --stop                  stop the shared Wine server
#
# The first call starts one persistent wineserver for the prefix and boots
# the prefix, both detached with their standard streams closed: a Wine
# process started the ordinary way leaves services behind that inherit
# CTest's output pipes, and CTest then waits for them. Later calls reuse the
# running server, so each test costs tens of milliseconds instead of seconds.
#
# A program that Wine does not start (it ends at once with a failure status
# and no output at all, on either stream) is started once more; the second
# outcome counts. A program that wrote anything, succeeded, or ran for
# longer than a few seconds is never started again: a test that fails
# always says something, so a real failure is never retried. Each retry is
# noted on standard error and, when ORUKIV_WINE_RETRY_LOG names a file,
# appended to it (scripts/test reports them). The program's output is held
# until it ends, then passed on.
#
# Environment: ORUKIV_WINEPREFIX (default /tmp/orukiv-wine-<uid>; scripts/test
# sets one per checkout),
# ORUKIV_WINE (default /usr/lib/wine/wine64), WINEDEBUG (default -all),
# ORUKIV_WINE_RETRY_LOG (default: none).
set -u

wine=${ORUKIV_WINE:-/usr/lib/wine/wine64}
if [[ -x /usr/lib/wine/wineserver64 ]]; then
    wineserver=/usr/lib/wine/wineserver64
else
    wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
fi

export WINEPREFIX=${ORUKIV_WINEPREFIX:-/tmp/orukiv-wine-$(id -u)}
export WINEDEBUG=${WINEDEBUG:--all}
# No .NET or HTML engine prompts when the prefix is created.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Wine's server socket lives under the temporary folder: keep its path short.
tmp=${TMPDIR:-}
if [[ ${#tmp} -gt 40 ]]; then export TMPDIR=/tmp; fi

pidfile=$WINEPREFIX.server-pid
lockfile=$WINEPREFIX.lock

server_running() {
    local pid
    pid=$(cat "$pidfile" 2>/dev/null) || return 1
    [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null &&
        [[ $(cat "/proc/$pid/comm" 2>/dev/null) == wineserver* ]]
}

if [[ ${1:-} == --stop ]]; then
    # Whichever server serves the prefix, ours or one Wine started itself.
    [[ -d $WINEPREFIX ]] && "$wineserver" -k >/dev/null 2>&1
    # Give ours a moment to go, so that the next run starts from scratch.
    for _ in $(seq 50); do server_running || break; sleep 0.1; done
    rm -f "$pidfile"
    exit 0
fi

if [[ $# -eq 0 ]]; then
    echo "usage: $0 PROGRAM.exe [ARGS...] | --stop" >&2
    exit 2
fi

# The server needs the prefix folder; wineboot fills it.
mkdir -p "$WINEPREFIX"
{
    flock 9
    if ! server_running; then
        # The lock descriptor must not leak into the server or Wine's
        # services: every other caller would wait on it until they end.
        setsid "$wineserver" -f -p </dev/null >/dev/null 2>&1 9>&- &
        echo $! >"$pidfile"
        # Boot the prefix (created on first use) before any test runs;
        # without it the first program started on a bare server hangs.
        setsid -w "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&-
    fi
} 9>"$lockfile"

# ---- Run, and once more when Wine did not start the program ---------------

out=$(mktemp "${TMPDIR:-/tmp}/wine-run.out.XXXXXX") || exit 125
err=$(mktemp "${TMPDIR:-/tmp}/wine-run.err.XXXXXX") || exit 125
child=
trap 'rm -f "$out" "$err"' EXIT
# A time-out of the caller ends the program too.
trap '[[ -n $child ]] && kill -TERM "$child" 2>/dev/null; exit 143' TERM INT

# Runs the program with its output held; sets status and the seconds taken.
attempt() {
    local start
    start=$(date +%s)
    # Standard input stays the caller's (a job in the background would get
    # /dev/null).
    "$wine" "$@" <&3 >"$out" 2>"$err" 3<&- &
    child=$!
    wait "$child"
    status=$?
    child=
    seconds=$(($(date +%s) - start))
}

# Wine's own failure: nothing written, a failure status, at once.
not_started() {
    [[ $status -ne 0 && ! -s $out && ! -s $err && $seconds -le 5 ]]
}

exec 3<&0
attempt "$@"
if not_started; then
    note="wine-run.sh: $1 ended with status $status and no output (not started by Wine); started again"
    echo "$note" >&2
    [[ -n ${ORUKIV_WINE_RETRY_LOG:-} ]] && echo "$note: $*" >>"$ORUKIV_WINE_RETRY_LOG"
    attempt "$@"
fi
cat "$out"
cat "$err" >&2
exit "$status"
