#!/usr/bin/env bash
# Starts Mirabo for a try-out: throw-away settings, a mail server on this
# machine that keeps what it receives, and the test camera and microphone
# when the machine has no camera. Your own settings are never touched.
set -euo pipefail
cd "$(dirname "$0")/.."

demo=$(mktemp -d "${TMPDIR:-/tmp}/mirabo-demo.XXXXXX")
mail="$demo/received"
mkdir -p "$mail" "$demo/config"

/usr/bin/python3 scripts/local_smtp_server.py --port 0 --store "$mail" > "$demo/server.out" &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null || true; rm -rf "$demo/config"' EXIT

port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^LISTENING \([0-9]*\)$/\1/p' "$demo/server.out")
  [ -n "$port" ] && break
  kill -0 $server 2>/dev/null || { echo "The demo mail server did not start." >&2; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "The demo mail server did not start." >&2; exit 1; }
# Tell about each message as it arrives.
tail -n +1 -f "$demo/server.out" --pid=$server 2>/dev/null \
  | sed -u -n 's/^RECEIVED \([^ ]*\) \(.*\)$/Received "\2": \1/p' &

if ! ls /dev/video* >/dev/null 2>&1; then
  export GST_PLUGIN_PATH="$PWD/build/tests/gst-plugins${GST_PLUGIN_PATH:+:$GST_PLUGIN_PATH}"
  camera="the test camera and microphone (this machine has no camera)"
else
  camera="your own camera"
fi

cat <<TEXT

Mirabo demo
  Settings are kept in $demo/config and removed when Mirabo ends.
  Recording from $camera.
  Messages you send are kept in $mail

When Mirabo asks its first-run questions, answer:
  Your Email Address:     any address with an @, for example you@example.com
  Your Full Name:         whatever you like
  SMTP Mail Server:       127.0.0.1:$port
  Username and Password:  leave both empty

Open a received message (.eml) with your mail program, or its video with any player.

TEXT

XDG_CONFIG_HOME="$demo/config" build/bin/mirabo "$@" || true
echo "Mirabo has ended. The messages it sent are in $mail"
