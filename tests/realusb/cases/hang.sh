# One module that stops answering in the middle of the root file system. kavro-flash must give
# up after the data block's time limit with the error pair of a timed-out transfer; the timeout
# here only catches a hang.
exec timeout 300 /opt/kavro/kavro-flash -o /data/example-ota-cv22.7z
