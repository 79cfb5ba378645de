# Shared by the simulated board's init scripts (sourced, needs VELMAR_ROOT):
# the board's own service script (usr/lib/velmar/service.sh, copied from the
# board overlay) with a recorder around its start and stop. A daemon of the
# board runs in the foreground mode ("-d"), under the supervisor
# usr/bin/velmarcmd when the board has it, else on its own; its process id is
# kept in var/run/NAME.pid (the demo writes it too, for a velmard it started
# itself) and its output, with the supervisor's, goes to var/log/NAME.out.
# shellcheck source=../../../../../board/overlay/usr/lib/velmar/service.sh
. "$VELMAR_ROOT/usr/lib/velmar/service.sh"

# daemon_pid NAME: prints the process id of the running daemon.
daemon_pid() {
    pidfile=$VELMAR_ROOT/var/run/$1.pid
    [ -s "$pidfile" ] || return 1
    pid=$(cat "$pidfile")
    service_alive "$pid" && printf '%s' "$pid"
}

# service_stop NAME: the recorded daemon gets SIGUSR1 (a foreground daemon's
# stop signal; a daemonised one stops on SIGHUP) and 10 s to end. Its
# supervisor sees the normal end and ends too.
service_stop() {
    pid=$(daemon_pid "$1") || { rm -f "$VELMAR_ROOT/var/run/$1.pid"; return 0; }
    kill -USR1 "$pid" 2>/dev/null
    kill -HUP "$pid" 2>/dev/null
    service_wait_gone 100 "$pid" || { echo "$1 ($pid) did not stop" >&2; return 1; }
    rm -f "$VELMAR_ROOT/var/run/$1.pid"
}

# starts_logged LOG: how many starts the supervisor has logged in LOG.
starts_logged() {
    count=$(grep -c 'starting \[' "$1" 2>/dev/null)
    echo "${count:-0}"
}

# service_start NAME: starts usr/bin/NAME -d unless it runs already, and
# records its process id (under the supervisor: the one of its start line).
service_start() {
    daemon_pid "$1" >/dev/null && return 0
    program=$service_bin/$1
    pidfile=$VELMAR_ROOT/var/run/$1.pid
    out=$VELMAR_ROOT/var/log/$1.out
    [ -x "$program" ] || { echo "$1 init script: no $program in the board root" >&2; return 1; }
    mkdir -p "$VELMAR_ROOT/var/run" "$VELMAR_ROOT/var/log"
    if [ ! -x "$service_bin/velmarcmd" ]; then
        (cd / && exec setsid "$program" -d </dev/null >>"$out" 2>&1) &
        echo $! >"$pidfile"
        return 0
    fi
    log=$VELMAR_ROOT/var/log/velmarcmd/$1.log
    before=$(starts_logged "$log")
    service_supervise "$1" "$out"
    tries=100
    while [ "$(starts_logged "$log")" -le "$before" ] && [ "$tries" -gt 0 ]; do
        service_nap
    done
    pid=$(sed -n 's/.*starting \[.*\]<\([0-9]*\)>.*/\1/p' "$log" 2>/dev/null | tail -n 1)
    [ -n "$pid" ] || { echo "$1 did not start under velmarcmd" >&2; return 1; }
    echo "$pid" >"$pidfile"
}
