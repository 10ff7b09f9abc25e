# One module exported and imported over USB/IP inside the guest, over loopback: the udev rule
# binds it to usbip-host at each appearance, usbipd serves it, and kavro-station --remote
# attaches it through vhci-hcd, again after the jump, and flashes it; a second remote host,
# where nothing listens, is reported unreachable. Prints the station's event lines, then its
# results log.
for module in usbip-core usbip-host vhci-hcd; do
  insmod "/lib/modules/$module.ko"
done
ip link set lo up
# Measurements only: a network's round trip, and the download depth.
delay=$(sed -n 's/.*kavro\.delay=\([0-9a-z.]\+\).*/\1/p' /proc/cmdline)
if [ -n "$delay" ]; then
  insmod /lib/modules/sch_netem.ko
  /usr/sbin/tc qdisc add dev lo root netem delay "$delay"
fi
depth=$(sed -n 's/.*kavro\.depth=\([0-9]\+\).*/\1/p' /proc/cmdline)
[ -z "$depth" ] || export KAVRO_DOWNLOAD_DEPTH=$depth
# usbip attach records where each import comes from there, as usbip port shows it.
mkdir -p /var/run
# As the shipped units run it: usbipd in a network namespace of its own, reached only through
# systemd-socket-proxyd from the one address the socket listens on.
unshare -n sh -c 'ip link set lo up && exec /usr/sbin/usbipd --tcp-port 3240' &
usbipd=$!
timeout 10 sh -c "until nsenter -t $usbipd -n /usr/sbin/usbip list -r 127.0.0.1 > /dev/null 2>&1
  do sleep 0.1; done" || echo "usbipd is not listening in its namespace" >&2
systemd-socket-activate -l 127.0.0.1:3240 \
  nsenter -t "$usbipd" -n /lib/systemd/systemd-socket-proxyd 127.0.0.1:3240 &
# The module enumerated before usbip-host was loaded, as kavro-usbipd.service finds it.
udevadm trigger --action=add --subsystem-match=usb --attr-match=idVendor=4255
# The exporting machine's own bus (the module's, bus 1) is hidden from the flasher, as it would
# be on another machine; the imported module arrives on the vhci-hcd bus.
mount -t tmpfs none /dev/bus/usb/001
timeout 900 /opt/kavro/kavro-station -o /data/example-ota-cv22.7z --once --settle 60 \
  --remote 127.0.0.1 --remote 127.0.0.1:3241 --results /tmp/results.jsonl
status=$?
cat /tmp/results.jsonl
exit "$status"
