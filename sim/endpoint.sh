# endpoint.sh: bash functions that bring up one simulated endpoint (board
# root, simulated MCU and display, velmard in a network namespace). Sourced by
# scripts/demo and the benchmarks; needs root.
#
#   endpoint_build BUILD_DIR          builds velmard, mcusim and dispsim
#   endpoint_up NAME NET              board root + namespace + simulators
#                                     (NET is A.B.C: eth0 A.B.C.2, host A.B.C.1)
#   endpoint_start_velmard            starts "velmard -d" in the namespace
#   endpoint_down                     stops everything endpoint_up started
#
# After endpoint_up: EP_BOARD, EP_NS, EP_ADDRESS, EP_HOST; after
# endpoint_start_velmard: EP_PID.

EP_SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
EP_BUILD=""
EP_BOARD=""
EP_NS=""
EP_ADDRESS=""
EP_HOST=""
EP_PID=""
EP_SIM_PIDS=()

ep_say() { printf '%s: %s\n' "${EP_TAG:-endpoint}" "$*"; }

endpoint_build() {
    EP_BUILD=$1
    mkdir -p "$EP_BUILD"
    if ! { cmake -S "$EP_SOURCE" -B "$EP_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
           cmake --build "$EP_BUILD" --target velmard mcusim dispsim -j2; } >"$EP_BUILD/endpoint-build.log" 2>&1; then
        tail -n 40 "$EP_BUILD/endpoint-build.log" >&2
        ep_say "the build failed (whole log: $EP_BUILD/endpoint-build.log)"
        return 1
    fi
}

endpoint_up() {
    local name=$1 net=$2
    [[ $net =~ ^[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$ ]] || { ep_say "the network must look like A.B.C"; return 1; }
    EP_NS=velmar-$name
    EP_ADDRESS=$net.2
    EP_HOST=$net.1
    EP_BOARD=$(mktemp -d "/tmp/velmar-$name.XXXXXX")
    "$EP_SOURCE/sim/make-board-root" --telnet-ip 0.0.0.0 --telnet-port 23 --udp-ip 0.0.0.0 \
        --address "$EP_ADDRESS" --netmask 255.255.255.0 --gateway "$EP_HOST" \
        --velmard "$EP_BUILD/velmard" "$EP_BOARD" >/dev/null
    "$EP_SOURCE/sim/netns" up "$EP_NS" --address "$EP_ADDRESS/24" --host-address "$EP_HOST/24" || {
        EP_NS=""
        ep_say "could not create the namespace (pick another subnet)"
        return 1
    }
    local sim
    for sim in mcusim dispsim; do
        VELMAR_ROOT=$EP_BOARD setsid "$EP_BUILD/sim/$sim" >"$EP_BOARD/var/log/$sim.out" 2>&1 &
        EP_SIM_PIDS+=($!)
    done
    # The daemon opens the serial links at start: wait until both exist.
    local _
    for _ in $(seq 1 50); do
        [ -e "$EP_BOARD/dev/ttyS1" ] && [ -e "$EP_BOARD/dev/ttyS2" ] && return 0
        sleep 0.1
    done
    ep_say "the simulators did not come up (see $EP_BOARD/var/log/mcusim.out)"
    return 1
}

endpoint_start_velmard() {
    # A session of its own: Ctrl-C at the terminal reaches only the caller.
    VELMAR_ROOT=$EP_BOARD setsid ip netns exec "$EP_NS" "$EP_BOARD/usr/bin/velmard" -d "$@" &
    EP_PID=$!
    echo "$EP_PID" >"$EP_BOARD/var/run/velmard.pid"
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
