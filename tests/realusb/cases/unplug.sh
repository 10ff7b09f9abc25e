# One module that leaves the bus in the middle of the root file system. kavro-flash must end
# on its own with the error pair of the failed transfer; the timeout only catches a hang.
exec timeout 300 /opt/kavro/kavro-flash -o /data/example-ota-cv22.7z
