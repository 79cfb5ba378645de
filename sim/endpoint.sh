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

ep_say() { printf '%s: %s\n' "${EP_TAG:-endpoint}" "$*"; }

endpoint_build() {
    EP_BUILD=$1
    mkdir -p "$EP_BUILD"
    if ! { cmake -S "$EP_SOURCE" -B "$EP_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
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

lan_up() {
    local name=$1 net=$2 count=$3 host=${4:-} i
    [[ $net =~ ^[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$ ]] || { ep_say "the network must look like A.B.C"; return 1; }
    [[ $count =~ ^[0-9]+$ ]] && ((count >= 1 && count <= 200)) || { ep_say "1 to 200 endpoints"; return 1; }
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
    for ((i = 0; i < count; i++)); do
        LAN_ADDRESSES[i]=$net.$((i + 2))
        LAN_NSS[i]=velmar-$name-e$i
        LAN_BOARDS[i]=$(ep_make_board "$name-e$i" "${LAN_ADDRESSES[i]}" "$LAN_GATEWAY")
        "$EP_SOURCE/sim/netlan" join "$LAN_NS" "${LAN_NSS[i]}" --address "${LAN_ADDRESSES[i]}/24" || return 1
        ep_start_sims "${LAN_BOARDS[i]}" || return 1
    done
}

lan_start_velmard() {
    local i
    for i in "${!LAN_BOARDS[@]}"; do
        ep_start_daemon "${LAN_BOARDS[i]}" "${LAN_NSS[i]}" "$@"
        LAN_PIDS[i]=$EP_STARTED_PID
        ep_agent "${LAN_BOARDS[i]}" "${LAN_NSS[i]}" start
    done
}

lan_down() {
    local pid
    for pid in "${LAN_PIDS[@]}"; do
        kill -USR1 "$pid" 2>/dev/null || true
    done
    for pid in "${LAN_PIDS[@]}"; do
        ep_stop_pid "$pid" USR1
    done
    LAN_PIDS=()
    local i
    for i in "${!LAN_BOARDS[@]}"; do
        [ -n "$LAN_NS" ] && ep_agent "${LAN_BOARDS[i]}" "${LAN_NSS[i]}" stop
    done
    for pid in "${EP_SIM_PIDS[@]}"; do
        ep_stop_pid "$pid" TERM
    done
    EP_SIM_PIDS=()
    if [ -n "$LAN_NS" ]; then
        "$EP_SOURCE/sim/netlan" down "$LAN_NS" || ep_say "could not remove the LAN: run sim/netlan down $LAN_NS"
        LAN_NS=""
    fi
}
