# endpoint.sh: bash functions that bring up one simulated endpoint (board
# root, simulated MCU and display, velmard and the upgrade agent QuorNdk in a
# network namespace). Sourced by
# scripts/demo and the benchmarks; needs root.
#
#   endpoint_build BUILD_DIR          builds velmard, QuorNdk, velmarcmd, mcusim,
#                                     dispsim and velmar-find
#   endpoint_up NAME NET              board root + namespace + simulators
#                                     (NET is A.B.C: eth0 A.B.C.2, host A.B.C.1)
#   endpoint_start_velmard            starts "velmard -d" in the namespace, and
#                                     QuorNdk through its init script (under
#                                     velmarcmd, which the init scripts use for
#                                     velmard too once an upgrade restarts it)
#   endpoint_down                     stops everything endpoint_up started
#   ep_wait_start_flow BOARD SECONDS  waits until the daemon's start flow has
#                                     asked the MCU its last question
#   bench_say_load                    prints the machine's load (benchmarks)
#
# After endpoint_up: EP_BOARD, EP_NS, EP_ADDRESS, EP_HOST; after
# endpoint_start_velmard: EP_PID.
#
# Several endpoints on one simulated LAN (sim/netlan), after endpoint_build:
#
#   lan_up NAME NET COUNT [--host]    the LAN namespace (bridge at NET.254, the
#                                     endpoints' gateway) and COUNT endpoints at
#                                     NET.2 ... NET.(COUNT+1), each with its board
#                                     root, namespace and simulators; --host gives
#                                     this machine NET.1 on the bridge
#   lan_start_velmard                 starts "velmard -d" in every endpoint
#   lan_down                          stops everything lan_up started
#
# After lan_up: LAN_NS, LAN_GATEWAY, LAN_HOST (empty without --host), and per
# endpoint i (0-based) LAN_BOARDS[i], LAN_NSS[i], LAN_ADDRESSES[i]; after
# lan_start_velmard: LAN_PIDS[i].

EP_SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
EP_BUILD=""
EP_BOARD=""
EP_NS=""
EP_ADDRESS=""
EP_HOST=""
EP_PID=""
EP_STARTED_PID=""
EP_SIM_PIDS=()
LAN_NS=""
LAN_GATEWAY=""
LAN_HOST=""
LAN_BOARDS=()
LAN_NSS=()
LAN_ADDRESSES=()
LAN_PIDS=()
LAN_NAME=""
LAN_NET=""
LAN_STATE=""
LAN_COUNT=0
LAN_BATCH_PIDS=()
# Largest LAN (the endpoints take NET.2 to NET.251) and the bring-up batch.
LAN_MAX_ENDPOINTS=250
LAN_BATCH=${LAN_BATCH:-16}

ep_say() { printf '%s: %s\n' "${EP_TAG:-endpoint}" "$*"; }

endpoint_build() {
    EP_BUILD=$1
    mkdir -p "$EP_BUILD"
    if ! { cmake -S "$EP_SOURCE" -B "$EP_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMAR_TESTS=OFF &&
           cmake --build "$EP_BUILD" --target velmard QuorNdk velmarcmd mcusim dispsim velmar-find -j2; } \
           >"$EP_BUILD/endpoint-build.log" 2>&1; then
        tail -n 40 "$EP_BUILD/endpoint-build.log" >&2
        ep_say "the build failed (whole log: $EP_BUILD/endpoint-build.log)"
        return 1
    fi
}

# ep_make_board NAME ADDRESS GATEWAY: lays out a fresh board root for an
# endpoint at ADDRESS/24 and prints its path.
ep_make_board() {
    local name=$1 address=$2 gateway=$3 board
    board=$(mktemp -d "/tmp/velmar-$name.XXXXXX")
    "$EP_SOURCE/sim/make-board-root" --telnet-ip 0.0.0.0 --telnet-port 23 --udp-ip 0.0.0.0 \
        --address "$address" --netmask 255.255.255.0 --gateway "$gateway" \
        --velmard "$EP_BUILD/velmard" --quorndk "$EP_BUILD/QuorNdk" \
        --velmarcmd "$EP_BUILD/common/watchdog/velmarcmd" "$board" >/dev/null
    printf '%s' "$board"
}

# ep_start_sims BOARD: starts the simulated MCU and display on the board's
# serial links and waits until both links exist.
ep_start_sims() {
    local board=$1 sim _
    for sim in mcusim dispsim; do
        VELMAR_ROOT=$board setsid "$EP_BUILD/sim/$sim" >"$board/var/log/$sim.out" 2>&1 &
        EP_SIM_PIDS+=($!)
    done
    # The daemon opens the serial links at start: wait until both exist.
    for _ in $(seq 1 50); do
        [ -e "$board/dev/ttyS1" ] && [ -e "$board/dev/ttyS2" ] && return 0
        sleep 0.1
    done
    ep_say "the simulators did not come up (see $board/var/log/mcusim.out)"
    return 1
}

# ep_start_daemon BOARD NS [OPTION...]: starts "velmard -d" in the namespace;
# its process id in EP_STARTED_PID (a child of this shell).
ep_start_daemon() {
    local board=$1 ns=$2
    shift 2
    # A session of its own: Ctrl-C at the terminal reaches only the caller.
    VELMAR_ROOT=$board setsid ip netns exec "$ns" "$board/usr/bin/velmard" -d "$@" &
    EP_STARTED_PID=$!
    echo "$EP_STARTED_PID" >"$board/var/run/velmard.pid"
}

# ep_agent BOARD NS start|stop: the upgrade agent through the board's init script.
ep_agent() {
    local board=$1 ns=$2 action=$3
    VELMAR_ROOT=$board ip netns exec "$ns" "$board/etc/init.d/QuorNdk" "$action" >/dev/null ||
        ep_say "QuorNdk $action failed (see $board/var/log/QuorNdk.out)"
}

endpoint_up() {
    local name=$1 net=$2
    [[ $net =~ ^[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$ ]] || { ep_say "the network must look like A.B.C"; return 1; }
    EP_NS=velmar-$name
    EP_ADDRESS=$net.2
    EP_HOST=$net.1
    EP_BOARD=$(ep_make_board "$name" "$EP_ADDRESS" "$EP_HOST")
    "$EP_SOURCE/sim/netns" up "$EP_NS" --address "$EP_ADDRESS/24" --host-address "$EP_HOST/24" || {
        EP_NS=""
        ep_say "could not create the namespace (pick another subnet)"
        return 1
    }
    ep_start_sims "$EP_BOARD"
}

ep_wait_start_flow() {
    local board=$1 seconds=$2 _
    for _ in $(seq 1 $((seconds * 5))); do
        grep -q 'daemon->mcu GET UARTPWR_DELAY' "$board/var/log/mcusim-traffic.log" 2>/dev/null && return 0
        sleep 0.2
    done
    ep_say "the start flow did not end within $seconds s"
    return 1
}

bench_say_load() {
    printf 'machine load: %s (1, 5, 15 min averages) on %s cores\n' "$(cut -d' ' -f1-3 /proc/loadavg)" "$(nproc)"
}

endpoint_start_velmard() {
    ep_start_daemon "$EP_BOARD" "$EP_NS" "$@"
    EP_PID=$EP_STARTED_PID
    ep_agent "$EP_BOARD" "$EP_NS" start
}

ep_stop_pid() {
    local pid=$1 signal=$2 _
    kill -0 "$pid" 2>/dev/null || return 0
    kill "-$signal" "$pid" 2>/dev/null || true
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.3
    done
    kill -KILL "$pid" 2>/dev/null || true
}

# ep_stop_all SIGNAL PID...: signals every process first, so that they wind
# down side by side, then waits for each as ep_stop_pid does.
ep_stop_all() {
    local signal=$1 pid
    shift
    for pid in "$@"; do
        kill "-$signal" "$pid" 2>/dev/null || true
    done
    for pid in "$@"; do
        ep_stop_pid "$pid" "$signal"
    done
}

endpoint_down() {
    [ -n "$EP_PID" ] && ep_stop_pid "$EP_PID" USR1
    [ -n "$EP_NS" ] && ep_agent "$EP_BOARD" "$EP_NS" stop
    local pid
    for pid in "${EP_SIM_PIDS[@]}"; do
        ep_stop_pid "$pid" TERM
    done
    EP_SIM_PIDS=()
    if [ -n "$EP_NS" ]; then
        "$EP_SOURCE/sim/netns" down "$EP_NS" || ep_say "could not remove namespace $EP_NS: run sim/netns down $EP_NS"
        EP_NS=""
    fi
}

# lan_member NAME NET I STATE: endpoint I of lan_up (board root, namespace,
# simulators); run in a subshell of its own, it leaves "board PATH" and
# "sim PID" lines in the file STATE for lan_up to take.
lan_member() {
    local name=$1 net=$2 i=$3 state=$4 board pid
    exec >"$state.out" 2>&1
    board=$(ep_make_board "$name-e$i" "$net.$((i + 2))" "$LAN_GATEWAY") || return 1
    echo "board $board" >>"$state"
    "$EP_SOURCE/sim/netlan" join "$LAN_NS" "velmar-$name-e$i" --address "$net.$((i + 2))/24" || return 1
    EP_SIM_PIDS=()
    ep_start_sims "$board"
    local status=$?
    for pid in "${EP_SIM_PIDS[@]}"; do
        echo "sim $pid" >>"$state"
    done
    return $status
}

# lan_take_member I STATE: what lan_member I left, into the LAN_ arrays; false
# when it failed.
lan_take_member() {
    local i=$1 state=$2 kind what
    LAN_ADDRESSES[i]=$LAN_NET.$((i + 2))
    LAN_NSS[i]=velmar-$LAN_NAME-e$i
    [ -f "$state" ] || return 1
    while read -r kind what; do
        case $kind in
        board) LAN_BOARDS[i]=$what ;;
        sim) EP_SIM_PIDS+=("$what") ;;
        esac
    done <"$state"
    [ -n "${LAN_BOARDS[i]:-}" ]
}

lan_up() {
    local name=$1 net=$2 count=$3 host=${4:-} i
    [[ $net =~ ^[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$ ]] || { ep_say "the network must look like A.B.C"; return 1; }
    [[ $count =~ ^[0-9]+$ ]] && ((count >= 1 && count <= LAN_MAX_ENDPOINTS)) ||
        { ep_say "1 to $LAN_MAX_ENDPOINTS endpoints"; return 1; }
    LAN_NAME=$name
    LAN_NET=$net
    LAN_GATEWAY=$net.254
    local options=(--address "$LAN_GATEWAY/24")
    if [ "$host" = --host ]; then
        LAN_HOST=$net.1
        options+=(--host-address "$LAN_HOST/24")
    fi
    LAN_NS=velmar-$name-lan
    "$EP_SOURCE/sim/netlan" up "$LAN_NS" "${options[@]}" || {
        LAN_NS=""
        ep_say "could not create the LAN (pick another subnet)"
        return 1
    }
    # Endpoints come up in parallel batches of LAN_BATCH; each leaves its
    # board root and simulator ids in a state file of its own (lan_down takes
    # them too when the bring-up is interrupted).
    local failed=0
    LAN_STATE=$(mktemp -d "/tmp/velmar-$name-state.XXXXXX")
    LAN_COUNT=$count
    for ((i = 0; i < count; i++)); do
        lan_in_batches lan_member "$name" "$net" "$i" "$LAN_STATE/$i"
    done
    lan_in_batches
    for ((i = 0; i < count; i++)); do
        lan_take_member "$i" "$LAN_STATE/$i" && continue
        ep_say "endpoint $i did not come up: $(tail -n 3 "$LAN_STATE/$i.out" 2>/dev/null)"
        failed=1
    done
    rm -rf "$LAN_STATE"
    LAN_STATE=""
    return $failed
}

# After an interrupted lan_up: waits for the endpoints still coming up and
# takes what every one of them left.
lan_take_interrupted() {
    [ -n "$LAN_STATE" ] && [ -d "$LAN_STATE" ] || return 0
    local i
    lan_in_batches
    for ((i = 0; i < LAN_COUNT; i++)); do
        lan_take_member "$i" "$LAN_STATE/$i" || true
    done
    rm -rf "$LAN_STATE"
    LAN_STATE=""
}

# lan_wait_for PID...: waits for those jobs only (a bare "wait" would wait for
# the daemons too).
lan_wait_for() {
    (($# == 0)) || wait "$@" 2>/dev/null || true
}

# lan_in_batches [COMMAND...]: runs COMMAND in the background; once LAN_BATCH
# of them run, waits for those. Without a command: waits for the rest.
lan_in_batches() {
    if (($# > 0)); then
        "$@" &
        LAN_BATCH_PIDS+=($!)
        ((${#LAN_BATCH_PIDS[@]} < LAN_BATCH)) && return 0
    fi
    lan_wait_for "${LAN_BATCH_PIDS[@]}"
    LAN_BATCH_PIDS=()
}

# lan_start_velmard [OPTION...]: starts "velmard -d" in every endpoint, each
# with its upgrade agent; a batch of LAN_BATCH starts once the agents of the
# one before have started.
lan_start_velmard() {
    local i
    for i in "${!LAN_BOARDS[@]}"; do
        ep_start_daemon "${LAN_BOARDS[i]}" "${LAN_NSS[i]}" "$@"
        LAN_PIDS[i]=$EP_STARTED_PID
        lan_in_batches ep_agent "${LAN_BOARDS[i]}" "${LAN_NSS[i]}" start
    done
    lan_in_batches
}

lan_down() {
    local i
    lan_take_interrupted
    ep_stop_all USR1 "${LAN_PIDS[@]}"
    LAN_PIDS=()
    if [ -n "$LAN_NS" ]; then
        for i in "${!LAN_BOARDS[@]}"; do
            lan_in_batches ep_agent "${LAN_BOARDS[i]}" "${LAN_NSS[i]}" stop
        done
        lan_in_batches
    fi
    ep_stop_all TERM "${EP_SIM_PIDS[@]}"
    EP_SIM_PIDS=()
    if [ -n "$LAN_NS" ]; then
        "$EP_SOURCE/sim/netlan" down "$LAN_NS" || ep_say "could not remove the LAN: run sim/netlan down $LAN_NS"
        LAN_NS=""
    fi
}
