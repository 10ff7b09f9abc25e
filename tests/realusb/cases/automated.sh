# Two modules at once through the automation protocol of `kavro-flash -g`: wait until both are
# listed, start a session on each, poll both until they end, then read each one's state, error
# pair, serial number and device path and close it. Prints, per module, one summary line:
#   @@module <path> state <state> error <error> <sub error> serial <serial>
# Exit status: kavro-flash's own after "Q", or 90 when it stopped answering.

mkfifo /tmp/requests
timeout 900 /opt/kavro/kavro-flash -g -o /data/example-ota-cv22.7z \
  < /tmp/requests > /tmp/responses 2> /tmp/flash-stderr &
flash=$!
exec 3> /tmp/requests
tag=0

# request "CMD] ARG": sends it with the next tag and waits up to 60 s for the answer, which is
# left in $reply without its "[tag cmd]" head.
request() {
  tag=$((tag + 1))
  printf '[%d %s\n' "$tag" "$1" >&3
  waited=0
  until grep -q "^\[$tag " /tmp/responses; do
    if [ "$waited" -ge 600 ] || ! kill -0 "$flash" 2> /dev/null; then
      echo "@@error no answer to [$tag $1"
      cat /tmp/responses /tmp/flash-stderr
      exit 90
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  reply=$(grep "^\[$tag " /tmp/responses | tr -d '\r' | sed 's/^\[[^]]*\] *//')
}

# Both modules listed within 60 s, then both sessions ended within 600 s.
for round in $(seq 120); do
  request "1]"
  set -- $reply
  [ "${1:-0}" -ge 2 ] && break
  sleep 0.5
done
shift
slots="$*"
for slot in $slots; do
  request "6] $slot"
done
for round in $(seq 1200); do
  running=0
  for slot in $slots; do
    request "3] $slot"
    case "$reply" in 6* | 7*) ;; *) running=1 ;; esac
  done
  [ "$running" -eq 0 ] && break
  sleep 0.5
done

for slot in $slots; do
  request "3] $slot"
  state=${reply%% *}
  request "7] $slot"
  error_pair=$reply
  request "9] $slot"
  serial=$reply
  request "8] $slot"
  echo "@@module $reply state $state error $error_pair serial $serial"
  request "4] $slot"
done

echo Q >&3
exec 3>&-
wait "$flash"
