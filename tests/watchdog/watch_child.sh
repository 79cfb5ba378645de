#!/bin/sh
# A program for the supervisor to watch. Every start appends
#   start <run> <pid> <parent pid> <ns since the epoch>
# to <state>/runs and writes its arguments, each in brackets, to
# <state>/args.<run>; then it does the action planned for that run (the last
# action repeats for later runs):
#   exit:N         leaves with status N
#   kill:SIG       sends itself signal SIG (TERM, SEGV, KILL, ...)
#   hold           waits, as the same process, until ended from outside
# Before ending by itself it appends "end <run> <ns>" to <state>/runs.
#
# Usage: watch_child.sh <state dir> <action for run 1> [<action for run 2> ...]
state=$1
run=$(( $(cat "$state/count" 2>/dev/null || echo 0) + 1 ))
echo "$run" > "$state/count"
for arg in "$0" "$@"; do printf '[%s]' "$arg"; done > "$state/args.$run"
printf 'start %s %s %s %s\n' "$run" "$$" "$PPID" "$(date +%s%N)" >> "$state/runs"
shift
if [ "$run" -gt "$#" ]; then pick=$#; else pick=$run; fi
eval "action=\${$pick}"

ended() { printf 'end %s %s\n' "$run" "$(date +%s%N)" >> "$state/runs"; }

case $action in
  exit:*)
    ended
    exit "${action#exit:}" ;;
  kill:*)
    ended
    kill -s "${action#kill:}" $$
    # Still here: the signal was ignored or blocked.
    echo "survived $run" >> "$state/runs"
    exit 3 ;;
  hold)
    exec sleep 60 ;;
esac
echo "bad action $action" >> "$state/runs"
exit 4
