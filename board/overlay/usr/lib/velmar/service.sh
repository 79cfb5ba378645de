# Start and stop of one daemon of this system under the supervisor velmarcmd;
# sourced by the start scripts /etc/init.d/velmard and /etc/init.d/QuorNdk.
# Plain POSIX shell (the board's busybox sh). VELMAR_ROOT, when set, is the
# root of a simulated board: the programs and logs are taken from there.
service_root=${VELMAR_ROOT:-}
service_bin=$service_root/usr/bin

# service_pids WORD...: ids of the processes whose command line is exactly
# these words.
service_pids() {
    want="$* "
    for dir in /proc/[0-9]*; do
        line=$(tr '\0' ' ' < "$dir/cmdline" 2>/dev/null) || continue
        [ "$line" = "$want" ] && printf '%s\n' "${dir#/proc/}"
    done
    return 0
}

# service_alive PID: the process exists and has not ended (a zombie has).
service_alive() {
    read -r _ _ state _ < "/proc/$1/stat" 2>/dev/null || return 1
    [ "$state" != Z ]
}

# service_wait_gone TENTHS PID...: true when every process ended in time.
service_wait_gone() {
    tries=$1
    shift
    for pid in "$@"; do
        while service_alive "$pid"; do
            [ "$tries" -gt 0 ] || return 1
            sleep 0.1
            tries=$((tries - 1))
        done
    done
    return 0
}

# service_signal SIGNAL WORD...: sends SIGNAL to the processes running these
# words and waits up to 10 seconds for them to end.
service_signal() {
    sig=$1
    shift
    pids=$(service_pids "$@")
    [ -n "$pids" ] || return 0
    # The ids are digits only; the list is split on purpose.
    # shellcheck disable=SC2086
    kill "-$sig" $pids 2>/dev/null
    # shellcheck disable=SC2086
    service_wait_gone 100 $pids
}

# service_start NAME: runs /usr/bin/NAME in the foreground mode under
# velmarcmd (which puts itself in the background) unless it already runs.
service_start() {
    program=$service_bin/$1
    [ -z "$(service_pids "$program")" ] || return 0
    [ -x "$program" ] || { echo "$1: no $program" >&2; return 1; }
    (cd / && "$service_bin/velmarcmd" "$program" </dev/null >/dev/null 2>&1)
    tries=50
    while [ -z "$(service_pids "$program")" ]; do
        [ "$tries" -gt 0 ] || { echo "$1: did not start (see $service_root/var/log/velmarcmd/$1.log)" >&2; return 1; }
        sleep 0.1
        tries=$((tries - 1))
    done
}

# service_stop NAME: ends the supervisor first (SIGUSR1 ends it at once and
# leaves its child), then the daemon (SIGUSR1 stops a foreground daemon).
service_stop() {
    program=$service_bin/$1
    service_signal USR1 "$service_bin/velmarcmd" "$program" || { echo "$1: its supervisor did not end" >&2; return 1; }
    service_signal USR1 "$program" && return 0
    echo "$1: did not stop within 10 seconds; killed" >&2
    service_signal KILL "$program"
    return 1
}

# service_main NAME ACTION: the actions of a start script.
service_main() {
    case $2 in
    start | update-start) service_start "$1" ;;
    stop | update-stop) service_stop "$1" ;;
    restart) service_stop "$1" && service_start "$1" ;;
    *)
        echo "usage: /etc/init.d/$1 {start|stop|restart|update-start|update-stop}" >&2
        return 1
        ;;
    esac
}
