# Shared by the programs of the simulated board (sourced, needs VELMAR_ROOT).

# board_call PROGRAM [ARGUMENT...]: appends one line, the program and its
# arguments separated by blanks, to the board's call log.
board_call() {
    printf '%s\n' "$*" >> "$VELMAR_ROOT/var/log/board-calls.log"
}

# board_program: the board path of the running script (its path without the
# board root in front).
board_program() {
    case $0 in
    "$VELMAR_ROOT"/*) printf '%s' "${0#"$VELMAR_ROOT"}" ;;
    *) printf '%s' "$0" ;;
    esac
}

# board_is_address TEXT: true for a dotted IPv4 address text.
board_is_address() {
    case $1 in
    *[!0-9.]* | *..* | .* | *.) return 1 ;;
    esac
    old_ifs=$IFS
    IFS=.
    set -- $1
    IFS=$old_ifs
    [ $# -eq 4 ] || return 1
    for part in "$@"; do
        [ "$part" -le 255 ] || return 1
    done
    return 0
}
