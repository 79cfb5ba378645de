# netns-common.sh: checks shared by sim/netns and sim/netlan (sourced; they
# define die). Names and addresses are checked before anything is created.

check_name() {
    [[ $1 =~ ^velmar-[A-Za-z0-9_.-]{1,40}$ ]] || die "namespace names start with \"velmar-\": $1"
}

ip_to_int() {
    local IFS=.
    set -- $1
    echo $(((10#$1 << 24) | (10#$2 << 16) | (10#$3 << 8) | 10#$4))
}

check_cidr() {
    [[ $1 =~ ^([0-9]{1,3}\.){3}[0-9]{1,3}/([0-9]|[12][0-9]|3[0-2])$ ]] || die "not an address with prefix: $1"
}

# overlaps A/P B/Q: true when the two subnets share an address.
overlaps() {
    local a=${1%/*} p=${1#*/} b=${2%/*} q=${2#*/}
    local m=$((p < q ? p : q))
    ((m == 0)) && return 0
    local shift=$((32 - m))
    (($(ip_to_int "$a") >> shift == $(ip_to_int "$b") >> shift))
}

# Refuses a host address whose subnet meets one this machine already uses.
check_host_subnet() {
    local subnet=$1 used
    while read -r used; do
        [[ $used == */* ]] || used=$used/32
        if overlaps "$subnet" "$used"; then
            die "$subnet meets $used, which this machine already uses; pick another test subnet"
        fi
    done < <({
        ip -4 -o addr show | awk '{print $4}'
        ip -4 route show table all | awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+(\/[0-9]+)?$/) { print $i; break } }'
    } | sort -u)
}
