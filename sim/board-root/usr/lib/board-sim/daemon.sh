# Shared by the simulated board's init scripts (sourced, needs VELMAR_ROOT):
# start and stop one daemon of the board, run in the foreground mode ("-d"),
# under the supervisor usr/bin/velmarcmd when the board has it (as on the
# board), with its process id in var/run/NAME.pid.

# alive PID: the process exists and has not ended (a zombie has ended).
daemon_alive() {
    state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
    case $state in Z*) return 1 ;; esac
    return 0
}

# daemon_pid NAME: prints the process id of the running daemon.
daemon_pid() {
    pidfile=$VELMAR_ROOT/var/run/$1.pid
    [ -s "$pidfile" ] || return 1
    pid=$(cat "$pidfile")
    daemon_alive "$pid" && printf '%s' "$pid"
}

# daemon_stop NAME: SIGUSR1 (a foreground daemon's stop signal; a daemonised
# one stops on SIGHUP) and wait up to 10 s. A supervisor sees the normal end
# and ends too.
daemon_stop() {
    pid=$(daemon_pid "$1") || { rm -f "$VELMAR_ROOT/var/run/$1.pid"; return 0; }
    kill -USR1 "$pid" 2>/dev/null
    kill -HUP "$pid" 2>/dev/null
    tries=0
    while daemon_alive "$pid" && [ "$tries" -lt 100 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    if daemon_alive "$pid"; then
        echo "$1 ($pid) did not stop" >&2
        return 1
    fi
    rm -f "$VELMAR_ROOT/var/run/$1.pid"
}

# starts_logged LOG: how many starts the supervisor has logged in LOG.
starts_logged() {
    count=$(grep -c 'starting \[' "$1" 2>/dev/null)
    echo "${count:-0}"
}

# daemon_start NAME: starts usr/bin/NAME -d unless it runs already.
daemon_start() {
    daemon_pid "$1" >/dev/null && return 0
    program=$VELMAR_ROOT/usr/bin/$1
    supervisor=$VELMAR_ROOT/usr/bin/velmarcmd
    pidfile=$VELMAR_ROOT/var/run/$1.pid
    out=$VELMAR_ROOT/var/log/$1.out
    [ -x "$program" ] || { echo "$1 init script: no $program in the board root" >&2; return 1; }
    mkdir -p "$VELMAR_ROOT/var/run" "$VELMAR_ROOT/var/log"
    if [ ! -x "$supervisor" ]; then
        (cd / && exec setsid "$program" -d </dev/null >>"$out" 2>&1) &
        echo $! >"$pidfile"
        return 0
    fi
    # The supervisor detaches at once; the daemon's id is in its start line.
    log=$VELMAR_ROOT/var/log/velmarcmd/$1.log
    before=$(starts_logged "$log")
    (cd / && "$supervisor" "$program -d" </dev/null >>"$out" 2>&1)
    tries=0
    while [ "$(starts_logged "$log")" -le "$before" ] && [ "$tries" -lt 100 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    pid=$(sed -n 's/.*starting \[.*\]<\([0-9]*\)>.*/\1/p' "$log" 2>/dev/null | tail -n 1)
    [ -n "$pid" ] || { echo "$1 did not start under velmarcmd" >&2; return 1; }
    echo "$pid" >"$pidfile"
}

# daemon_main NAME ACTION: the actions of an init script.
daemon_main() {
    case $2 in
    start | update-start) daemon_start "$1" ;;
    stop | update-stop) daemon_stop "$1" ;;
    restart) daemon_stop "$1" && daemon_start "$1" ;;
    *)
        echo "usage: /etc/init.d/$1 {start|stop|restart|update-start|update-stop}" >&2
        return 1
        ;;
    esac
}
