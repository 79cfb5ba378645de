# Start and stop of one daemon of this system under the supervisor velmarcmd;
# sourced by the start scripts /etc/init.d/velmard and /etc/init.d/QuorNdk.
# Plain POSIX shell (the board's busybox sh). VELMAR_ROOT, when set, is the
# root of a simulated board: the programs and logs are taken from there.
service_root=${VELMAR_ROOT:-}
service_bin=$service_root/usr/bin

# service_pids WORD...: ids of the processes whose command line is exactly
# these words. Only processes named like the first word's program are read
# in full.
service_pids() {
    want="$* "
    name=${1##*/}
    for dir in /proc/[0-9]*; do
        read -r comm 2>/dev/null < "$dir/comm" || continue
        [ "$comm" = "$name" ] || continue
        line=$(tr '\0' ' ' 2>/dev/null < "$dir/cmdline") || continue
        [ "$line" = "$want" ] && printf '%s\n' "${dir#/proc/}"
    done
    return 0
}

# service_alive PID: the process exists and has not ended (a zombie has).
service_alive() {
    read -r _ _ state _ 2>/dev/null < "/proc/$1/stat" || return 1
    [ "$state" != Z ]
}

# The pause of the wait loops and the tenths of a second it takes: a tenth
# where sleep takes fractions, else a whole second (a BusyBox built without
# fractional sleep), so every wait keeps its length in seconds.
if sleep 0.01 2>/dev/null; then
    service_nap_time=0.1 service_nap_tenths=1
else
    service_nap_time=1 service_nap_tenths=10
fi

# service_nap: pauses and counts the pause off $tries (the tenths of a
# second the waiting loop has left).
service_nap() {
    sleep "$service_nap_time"
    tries=$((tries - service_nap_tenths))
}

# service_wait_gone TENTHS PID...: true when every process ended in time.
service_wait_gone() {
    tries=$1
    shift
    for pid in "$@"; do
        while service_alive "$pid"; do
            [ "$tries" -gt 0 ] || return 1
            service_nap
        done
    done
    return 0
}

# service_signal SIGNAL FINDER NAME: sends SIGNAL to the processes FINDER
# NAME lists and waits up to 10 seconds for them to end.
service_signal() {
    pids=$("$2" "$3")
    [ -n "$pids" ] || return 0
    # The ids are digits only; the list is split on purpose.
    # shellcheck disable=SC2086
    kill "-$1" $pids 2>/dev/null
    # shellcheck disable=SC2086
    service_wait_gone 100 $pids
}

# The daemons run in the foreground mode ("-d": they stay the supervisor's
# child and stop on SIGUSR1); velmarcmd takes that command line as one word.
service_daemon() { service_pids "$service_bin/$1" -d; }
service_supervisor() { service_pids "$service_bin/velmarcmd" "$service_bin/$1 -d"; }

# service_supervise NAME OUTPUT: starts velmarcmd watching "/usr/bin/NAME -d",
# from /, with its output (and the daemon's) appended to OUTPUT; velmarcmd
# puts itself in the background at once.
service_supervise() {
    (cd / && "$service_bin/velmarcmd" "$service_bin/$1 -d" </dev/null >>"$2" 2>&1)
}

# service_start NAME: runs /usr/bin/NAME under velmarcmd (which puts itself
# in the background) unless it already runs, and waits up to 5 seconds for it
# to show up. A program that ends at once ends its supervisor too: that start
# failed.
service_start() {
    program=$service_bin/$1
    [ -z "$(service_daemon "$1")" ] || return 0
    [ -x "$program" ] || { echo "$1: no $program" >&2; return 1; }
    service_supervise "$1" /dev/null
    tries=50
    while [ -z "$(service_daemon "$1")" ]; do
        if [ "$tries" -le 0 ] || [ -z "$(service_supervisor "$1")" ]; then
            echo "$1: did not start (see $service_root/var/log/velmarcmd/$1.log)" >&2
            return 1
        fi
        service_nap
    done
}

# service_stop NAME: ends the supervisor first (SIGUSR1 ends it at once and
# leaves its child), then the daemon (SIGUSR1 stops a foreground daemon).
service_stop() {
    service_signal USR1 service_supervisor "$1" || { echo "$1: its supervisor did not end" >&2; return 1; }
    service_signal USR1 service_daemon "$1" && return 0
    echo "$1: did not stop within 10 seconds; killed" >&2
    service_signal KILL service_daemon "$1"
    return 1
}

# service_main NAME ACTION: the actions of a start script, through
# service_start and service_stop (a simulated board sources this file and
# defines its own, which record what they start).
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
