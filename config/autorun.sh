ip=192.168.1.100
netmask=255.255.255.0
gateway=192.168.1.1
export GW=$gateway
tz=192.168.1.200
tc=1234
fi=30
ctrlencode=2
ctrlcodec=2
bitrate=4000000
framerate=30
audiosample=44100
audiobps=96000
width=1280
height=720
url=rtmp://192.168.1.200/live/kavex
end_of_settings=1 # the body starts at "end": the web settings rewrite only what stands above this line.
# Turns the settings into the encoder's options and starts it. Under ENCODE_ROOT (a PC or a test)
# the network set-up is left to the host.
if [ -z "$ENCODE_ROOT" ]; then
  [ -x /mnt/mac.sh ] && /mnt/mac.sh
  ifconfig eth0 "$ip" netmask "$netmask" up
  route add default gw "$GW"
fi
set -- -z "$tz" -c "$tc" -f "$framerate" -i "$fi" -v /tmp/main.264 -y 0 -I 3
[ "$bitrate" -gt 0 ] 2>/dev/null && set -- "$@" -b "$bitrate"
[ "$ctrlcodec" = 1 ] && set -- "$@" -r "${width}x${height}"
[ "$ctrlencode" = 2 ] && set -- "$@" -a /tmp/audio.aac -p "$audiobps" -u "$audiosample"
exec "${ENCODE_BIN:-/mnt/encode}" "$@"
