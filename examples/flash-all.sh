#!/usr/bin/env bash
# Flashes every module that is attached in hardware mode, all at once, through the automation
# protocol of `kavro-flash -g`, and prints one line per module: its device path and the result.
#
#   examples/flash-all.sh -o ota.7z [other kavro-flash options]
#
# The arguments are passed to kavro-flash after -g. Environment:
#   KAVRO_FLASH          the program to run (default: kavro-flash from PATH)
#   KAVRO_SETTLE_SECONDS how long to wait for attached modules to show up, whole seconds
#                        (default: 10)
#   KAVRO_POLL_SECONDS   pause between two status rounds (default: 0.5)
#   KAVRO_REPLY_SECONDS  how long to wait for one response, and for kavro-flash to end, before
#                        giving up, whole seconds (default: 60)
#
# Output lines: "<device path>: done" or "<device path>: failed (error E, sub error S)".
# Exit status: 0 when every module was flashed, 1 when one failed or none was found, 2 when
# kavro-flash could not be talked to.
set -u
# A write to a kavro-flash that has ended must fail, not end this script.
trap "" PIPE

program=${KAVRO_FLASH:-kavro-flash}
settle_seconds=${KAVRO_SETTLE_SECONDS:-10}
poll_seconds=${KAVRO_POLL_SECONDS:-0.5}
reply_seconds=${KAVRO_REPLY_SECONDS:-60}
for setting in "KAVRO_SETTLE_SECONDS=$settle_seconds" "KAVRO_REPLY_SECONDS=$reply_seconds"; do
  case ${setting#*=} in
    "" | *[!0-9]*)
      echo "flash-all: ${setting%%=*} must be a whole number of seconds" >&2
      exit 2
      ;;
  esac
done

coproc FLASH { exec "$program" -g "$@"; }
flash_pid=$FLASH_PID
# Copies of the pipe ends: bash closes the coprocess's own ones as soon as it ends.
exec {flash_in}>&"${FLASH[1]}" {flash_out}<&"${FLASH[0]}"

tag=0
reply=""

fail() {
  echo "flash-all: $*" >&2
  exit 2
}

# Gives kavro-flash up to $reply_seconds to end, stops it when it has not, and leaves its exit
# status in $flash_status.
stop_flash() {
  local tenths=0
  while kill -0 "$flash_pid" 2>/dev/null && [ "$tenths" -lt "$((reply_seconds * 10))" ]; do
    sleep 0.1
    tenths=$((tenths + 1))
  done
  kill "$flash_pid" 2>/dev/null
  wait "$flash_pid"
  flash_status=$?
}

# Called when kavro-flash closed its output: it ended, most likely at start-up (bad options,
# keys).
fail_ended() {
  stop_flash
  fail "kavro-flash ended with exit status $flash_status"
}

# Sends one request and leaves the words of its response after the head in $reply. Lines that
# do not begin with "[" are diagnostics of kavro-flash and are skipped, as are responses to
# other tags. Returns 1 when the request was refused (second number 255).
request() {
  local command=$1 argument=${2:-} line head
  tag=$((tag + 1))
  printf '[%d %d] %s\n' "$tag" "$command" "$argument" 1>&"$flash_in" 2>/dev/null || fail_ended
  while true; do
    IFS= read -r -t "$reply_seconds" -u "$flash_out" line
    case $? in
      0) ;;
      1) fail_ended ;;
      *) fail "no response to [$tag $command] within $reply_seconds seconds" ;;
    esac
    line=${line%$'\r'}
    head=${line%%]*}
    case $head in
      "[$tag $command") reply=${line#*]} ; reply=${reply# } ; return 0 ;;
      "[$tag 255") reply=${line#*]} ; reply=${reply# } ; return 1 ;;
    esac
  done
}

# Puts the slot indexes of the modules ready in hardware mode without a session into $found:
# command 7 answers "0 0" for exactly those.
list_hardware_modules() {
  local index
  found=""
  request 1 || fail "cannot list modules (refusal $reply)"
  set -- $reply
  shift
  for index in "$@"; do
    if request 7 "$index" && [ "$reply" = "0 0" ]; then
      found="$found $index"
    fi
  done
}

# Waits until the set of hardware-mode modules is non-empty and the same on two rounds in a
# row, or the settle time is over.
found=""
previous="none"
waited=0
while [ "$waited" -lt "$((settle_seconds * 2))" ]; do
  list_hardware_modules
  if [ -n "$found" ] && [ "$found" = "$previous" ]; then
    break
  fi
  previous=$found
  sleep 0.5
  waited=$((waited + 1))
done

declare -A path result
running=""
for index in $found; do
  request 8 "$index" && path[$index]=$reply || path[$index]="slot $index"
  if request 6 "$index"; then
    running="$running $index"
  else
    result[$index]="failed (refusal $reply)"
  fi
done

while [ -n "$running" ]; do
  sleep "$poll_seconds"
  still_running=""
  for index in $running; do
    request 3 "$index" || fail "cannot read the status of slot $index (refusal $reply)"
    set -- $reply
    case $1 in
      6) result[$index]="done" ;;
      7) request 7 "$index"
         set -- $reply
         result[$index]="failed (error $1, sub error $2)" ;;
      *) still_running="$still_running $index" ;;
    esac
  done
  running=$still_running
done

printf 'Q\n' 1>&"$flash_in" 2>/dev/null
stop_flash

status=0
if [ -z "$found" ]; then
  echo "flash-all: no module in hardware mode found" >&2
  status=1
fi
for index in $found; do
  echo "${path[$index]}: ${result[$index]}"
  [ "${result[$index]}" = "done" ] || status=1
done
exit "$status"
