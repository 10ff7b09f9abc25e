# One module, interactive mode: the built-in cv22 base archive and the example OTA archive.
exec timeout 600 /opt/kavro/kavro-flash -o /data/example-ota-cv22.7z
