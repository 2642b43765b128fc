#!/bin/bash
# halvane.sh - control script of the qz audio board (installed as /opt/qz/bin/halvane.sh).
#
# qzlinkd runs every outside action through this script:
#
#   halvane.sh http get "URL" ["Header:value" ...]   GET; the body on stdout, nothing else
#   halvane.sh http put "URL" ["Header:value" ...]   PUT, value in the query string, no body; prints nothing
#   halvane.sh sample_rate HZ
#   halvane.sh UpdateSpConfig X Y Z
#   halvane.sh zel_reset
#   halvane.sh update exec
#   halvane.sh net IFACE ACTION                       (the daemon sends ACTION "reset")
#   halvane.sh device id_name "ID" "NAME"
#   halvane.sh device uuid                            prints the board's UUID
#
# http: curl with a connect time-out of QZ_HTTP_CONNECT_TIMEOUT (2) seconds and a total
# time-out of QZ_HTTP_MAX_TIME (5) seconds, no proxy (the processor is on this board).
# A transport error or an HTTP status of 400 or more gives a non-zero exit status
# (curl's own code, 22 for an HTTP error) and its message on stderr only.
#
# Device actions are done by hooks, executables supplied by the integrator in
# QZ_HOOKS_DIR (default /opt/qz/hooks):
#
#   command line                    hook             hook arguments
#   sample_rate HZ                  sample_rate      HZ
#   UpdateSpConfig X Y Z            UpdateSpConfig   X Y Z
#   zel_reset                       zel_reset        (none)
#   update exec                     update           exec
#   net IFACE ACTION                net              IFACE ACTION
#   device id_name ID NAME          device-id_name   ID NAME
#
# The hook replaces this script (its exit status is the result); each argument reaches it
# unchanged as one word and is never evaluated. Without an executable hook nothing is
# done: one line on stderr says so, and the exit status is 0 (the daemon's request
# then looks done to the MCU).
#
# device uuid prints one line: the first line of QZ_UUID_FILE (default /etc/qz/uuid) when
# that file is non-empty; otherwise a UUID generated once and kept in
# QZ_STATE_DIR/uuid (default /var/lib/qz/uuid); when it cannot be kept it is still printed.
#
# update exec with QZ_UPDATE_UNIT set (qzlinkd.service sets it to qz-update.service):
# the update runs as that unit, outside the daemon's sandbox, through
# "systemctl start UNIT"; the unit runs this script's "update exec" again, without
# QZ_UPDATE_UNIT, which runs the hook. The exit status is the unit's result, and the
# update goes on when the daemon is stopped or replaced.
#
# Wrong arguments and unknown commands: message on stderr, exit status 2.

set -u

HOOKS_DIR=${QZ_HOOKS_DIR:-/opt/qz/hooks}
UUID_FILE=${QZ_UUID_FILE:-/etc/qz/uuid}
STATE_DIR=${QZ_STATE_DIR:-/var/lib/qz}
CONNECT_TIMEOUT=${QZ_HTTP_CONNECT_TIMEOUT:-2}
MAX_TIME=${QZ_HTTP_MAX_TIME:-5}
UUID_RE='^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$'
INT_RE='^-?[0-9]+$'

usage() {
    echo "usage: halvane.sh http get|put URL [HEADER...] | sample_rate HZ | UpdateSpConfig X Y Z" \
         "| zel_reset | update exec | net IFACE ACTION | device id_name ID NAME | device uuid" >&2
    exit 2
}

bad() {
    echo "halvane: $*" >&2
    exit 2
}

# http METHOD URL [HEADER...]
do_http() {
    [ $# -ge 2 ] || bad "http needs a method and a URL"
    local method=$1 url=$2 header
    shift 2
    local args=(-q -sS --fail --globoff --noproxy '*'
                --connect-timeout "$CONNECT_TIMEOUT" --max-time "$MAX_TIME")
    for header in "$@"; do
        args+=(-H "$header")
    done
    case $method in
        get) exec curl "${args[@]}" --url "$url" ;;
        # The daemon reads nothing of a PUT's answer and mostly runs it without
        # capture, where the body would land in its log: it is discarded.
        put) exec curl "${args[@]}" -o /dev/null -X PUT --url "$url" ;;
        *) bad "unknown http method '$method'" ;;
    esac
}

# hook NAME [ARG...]: run the integrator's hook NAME with the arguments as they are.
run_hook() {
    local name=$1
    shift
    local hook=$HOOKS_DIR/$name
    if [ -f "$hook" ] && [ -x "$hook" ]; then
        exec "$hook" "$@"
    fi
    # The daemon's request still counts as done (the MCU gets its reply, an
    # update "succeeds"): say plainly in the log that nothing happened.
    echo "halvane: no executable hook $hook: $name NOT carried out (exit status 0 all the same)" >&2
    exit 0
}

# First line of a file, blanks and CR trimmed; empty when unreadable.
first_line() {
    local line=""
    [ -f "$1" ] && [ -r "$1" ] && IFS= read -r line < "$1"
    line=${line%$'\r'}
    line=${line#"${line%%[![:space:]]*}"}
    printf '%s' "${line%"${line##*[![:space:]]}"}"
}

new_uuid() {
    local u
    u=$(first_line /proc/sys/kernel/random/uuid)
    if ! [[ $u =~ $UUID_RE ]]; then
        u=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
        u="${u:0:8}-${u:8:4}-4${u:13:3}-a${u:17:3}-${u:20:12}"
    fi
    printf '%s' "$u"
}

do_uuid() {
    local u kept_u tmp kept=$STATE_DIR/uuid
    u=$(first_line "$UUID_FILE")
    if [ -n "$u" ]; then
        printf '%s\n' "$u"
        exit 0
    fi
    u=$(first_line "$kept")
    if ! [[ $u =~ $UUID_RE ]]; then
        u=$(new_uuid)
        tmp=$kept.$$
        if mkdir -p "$STATE_DIR" 2>/dev/null && printf '%s\n' "$u" 2>/dev/null > "$tmp"; then
            # A concurrent first run may have kept its own: the first one kept wins.
            if [ -e "$kept" ]; then
                mv -f "$tmp" "$kept" 2>/dev/null
            else
                ln "$tmp" "$kept" 2>/dev/null
            fi
            rm -f "$tmp"
            kept_u=$(first_line "$kept")
            [[ $kept_u =~ $UUID_RE ]] && u=$kept_u
        else
            echo "halvane: cannot keep the UUID in $kept" >&2
        fi
    fi
    printf '%s\n' "$u"
    exit 0
}

[ $# -ge 1 ] || usage
word=$1
shift
case $word in
    http)
        do_http "$@" ;;
    sample_rate)
        { [ $# -eq 1 ] && [[ $1 =~ $INT_RE ]]; } || bad "usage: sample_rate HZ"
        run_hook sample_rate "$@" ;;
    UpdateSpConfig)
        { [ $# -eq 3 ] && [[ $1 =~ $INT_RE && $2 =~ $INT_RE && $3 =~ $INT_RE ]]; } ||
            bad "usage: UpdateSpConfig X Y Z"
        run_hook UpdateSpConfig "$@" ;;
    zel_reset)
        [ $# -eq 0 ] || bad "usage: zel_reset"
        run_hook zel_reset ;;
    update)
        { [ $# -eq 1 ] && [ "$1" = exec ]; } || bad "usage: update exec"
        [ -n "${QZ_UPDATE_UNIT:-}" ] && exec systemctl start "$QZ_UPDATE_UNIT"
        run_hook update "$@" ;;
    net)
        [ $# -eq 2 ] || bad "usage: net IFACE ACTION"
        run_hook net "$@" ;;
    device)
        [ $# -ge 1 ] || bad "usage: device id_name ID NAME | device uuid"
        case $1 in
            id_name)
                [ $# -eq 3 ] || bad "usage: device id_name ID NAME"
                shift
                run_hook device-id_name "$@" ;;
            uuid)
                [ $# -eq 1 ] || bad "usage: device uuid"
                do_uuid ;;
            *) bad "unknown device command '$1'" ;;
        esac ;;
    *)
        bad "unknown command '$word'" ;;
esac
