#!/usr/bin/env bash
# The program as a user starts it, driven from outside: a private X server
# with a window manager and a system tray, a temporary HOME with its own XDG
# folders and session bus, once on the silent null output and once on a
# dummy JACK server; on the null output last without the tray.
#   app_end_to_end.sh <program> <artifact folder> (null|jack)
set -uo pipefail
program=$1
artifacts=$2
mode=$3
port=47806
mkdir -p "$artifacts"

work=$(mktemp -d /tmp/qm-e2e.XXXXXX)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Waits until the command succeeds, at most $1 seconds.
waitUntil() {
  local limit=$1
  shift
  local end=$((SECONDS + limit))
  while ((SECONDS < end)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
ask() { curl -s -m 3 -H 'X-Quillmarsh: 1' "http://127.0.0.1:$port/$1"; }
# A field of the JSON on stdin, strings bare.
field() {
  python3 -c 'import json, sys
v = json.load(sys.stdin)[sys.argv[1]]
print(v if isinstance(v, str) else json.dumps(v))' "$1"
}

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export XDG_CACHE_HOME=$work/home/.cache XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME/Music" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM

# The desktop: Xvfb, a session bus, openbox and tint2 with its tray.
Xvfb -displayfd 9 -screen 0 1600x1000x24 -nolisten tcp -noreset 9>"$work/display" 2>/dev/null &
pids+=($!)
waitUntil 10 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=:$(head -1 "$work/display")
dbus-daemon --session --nofork --print-address=3 3>"$work/bus" 2>/dev/null &
pids+=($!)
waitUntil 10 test -s "$work/bus" || fail "the session bus did not start"
export DBUS_SESSION_BUS_ADDRESS=$(head -1 "$work/bus")
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
cat >"$work/tint2rc" <<'RC'
panel_items = S
panel_size = 100% 32
panel_position = bottom center horizontal
systray_padding = 2 2 2
systray_icon_size = 24
RC
tint2 -c "$work/tint2rc" >/dev/null 2>&1 &
tint2=$!
pids+=($tint2)
waitUntil 10 xdotool search --class tint2 || fail "tint2 did not start"

if [[ $mode == jack ]]; then
  export JACK_DEFAULT_SERVER=qm-e2e-$$
  jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
  pids+=($!)
  waitUntil 10 jack_lsp || fail "jackd did not start"
else
  export JACK_NO_START_SERVER=1
fi

sox -n -r 48000 -c 2 "$work/tone.wav" synth 3 sine 440 gain -12 2>/dev/null
# A media link on this machine for the link command: a long tone served by
# a web server on the loopback.
mkdir -p "$work/site"
sox -n -r 48000 -c 2 "$work/site/Link Tone.wav" synth 30 sine 330 gain -12 2>/dev/null
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/site" >"$work/site.log" 2>&1 &
pids+=($!)
waitUntil 10 grep -q 'port [0-9]' "$work/site.log" || fail "the web server did not start"
site_port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$work/site.log" | head -1)

start() {
  "$program" >>"$artifacts/quillmarsh-$mode.log" 2>&1 &
  app=$!
  waitUntil 10 ask status || fail "/status did not answer within 10 s"
  waitUntil 10 xdotool search --onlyvisible --name '^Quillmarsh$' || fail "\"Quillmarsh\" was not mapped"
}
stop() {
  kill -TERM "$app"
  local end=$((SECONDS + 2))
  while kill -0 "$app" 2>/dev/null && ((SECONDS <= end)); do sleep 0.05; done
  kill -0 "$app" 2>/dev/null && fail "SIGTERM did not end the program within 2 s"
  wait "$app"
  local rc=$?
  ((rc == 0)) || fail "the program exited $rc"
}

start
main=$(xdotool search --onlyvisible --name '^Quillmarsh$' | head -1)

# Shift+Ctrl+M from the library window maps the monitor.
xdotool windowactivate --sync "$main" 2>/dev/null
xdotool key --window "$main" ctrl+shift+m
waitUntil 5 xdotool search --onlyvisible --name '^Monitor$' || fail "Shift+Ctrl+M did not map \"Monitor\""
# Expert mode from the keyboard, kept for the next run.
xdotool windowactivate --sync "$main" 2>/dev/null
xdotool key --window "$main" ctrl+alt+e
waitUntil 5 grep -q '\\"expertMode\\":true' "$XDG_CONFIG_HOME/Quillmarsh/Quillmarsh.conf" ||
  fail "Alt+Ctrl+E did not store expert mode"

# Commands of the control port take effect.
ask panel | grep -q error && fail "panel: $(ask panel)"
waitUntil 5 grep -q '\\"finderPanel\\":false' "$XDG_CONFIG_HOME/Quillmarsh/Quillmarsh.conf" ||
  fail "the panel command did not turn the panel off"
for action in fold up; do
  reply=$(ask "monitor?action=$action")
  [[ $reply == \{* && $reply != *error* ]] || fail "monitor $action: $reply"
done
ask status | grep -q '"expert":true' || fail "the status does not say expert: $(ask status)"

# The profile command moves to the next output profile; by name, to that one.
first=$(ask status | field profile)
ask status | field profiles | python3 -c 'import json, sys; sys.exit(len(json.load(sys.stdin)) < 2)' ||
  fail "fewer than two output profiles: $(ask status)"
ask profile >/dev/null
next=$(ask status | field profile)
[[ -n $next && $next != "$first" ]] || fail "the profile command left \"$first\" active"
ask "profile?name=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$first")" >/dev/null
[[ $(ask status | field profile) == "$first" ]] || fail "the profile command did not choose \"$first\" by name"

# The editor command maps the editor; the window manager closes it again.
ask editor >/dev/null
waitUntil 5 xdotool search --onlyvisible --name '^Editor$' || fail "the editor command did not map \"Editor\""
editor=$(xdotool search --onlyvisible --name '^Editor$' | head -1)
xdotool windowactivate --sync "$editor" 2>/dev/null
xdotool key alt+F4
waitUntil 5 bash -c "! xdotool search --onlyvisible --name '^Editor\$'" || fail "\"Editor\" did not close"

# A copied link: its audio is fetched, loaded and played.
printf '%s' "http://127.0.0.1:$site_port/Link%20Tone.wav" | xclip -selection clipboard >/dev/null 2>&1
ask link >/dev/null
playingLink() {
  local reply
  reply=$(ask status)
  [[ $(field file <<<"$reply") == *.wav && $(field playing <<<"$reply") == true ]]
}
waitUntil 30 playingLink || fail "the link command did not play the link's audio: $(ask status)"
if [[ $mode == jack ]]; then
  # Its output ports are connected to the server's while it plays.
  jack_lsp -c >"$work/ports" 2>/dev/null
  awk '/^Quillmarsh:/ { own = 1; next } /^[^ ]/ { own = 0 } own && /^ +[^ ]/ { found = 1 } END { exit !found }' \
    "$work/ports" || fail "no port of the program is connected while it plays: $(cat "$work/ports")"
fi
ask stop >/dev/null

# A second launch hands its file over and ends; one process remains. The
# editor comes in front of the library window, which had the focus.
xdotool windowactivate --sync "$main" 2>/dev/null
"$program" "$work/tone.wav" >>"$artifacts/quillmarsh-$mode.log" 2>&1
rc=$?
((rc == 0)) || fail "the second launch exited $rc"
waitUntil 10 xdotool search --onlyvisible --name '^Editor$' || fail "the handed file did not map \"Editor\""
editor=$(xdotool search --onlyvisible --name '^Editor$' | head -1)
# Active, and above the library window in the window manager's stacking order.
editorInFront() {
  local active stacking id position=0 mainAt=-1 editorAt=-1
  active=$(xprop -root _NET_ACTIVE_WINDOW | sed 's/.*# //')
  stacking=$(xprop -root _NET_CLIENT_LIST_STACKING | sed 's/.*# //; s/,//g')
  for id in $stacking; do
    (($((id)) == main)) && mainAt=$position
    (($((id)) == editor)) && editorAt=$position
    position=$((position + 1))
  done
  (($((active)) == editor && editorAt > mainAt && mainAt >= 0))
}
waitUntil 5 editorInFront || fail "the handed file left \"Editor\" behind: $(xprop -root _NET_ACTIVE_WINDOW)"
count=$(pgrep -c -x -f "$program.*" -P $$ || true)
kill -0 "$app" || fail "the first instance is gone"
[[ $count -le 1 ]] || fail "$count instances run"

ffmpeg -loglevel error -y -f x11grab -video_size 1600x1000 -i "$DISPLAY" -frames:v 1 \
  "$artifacts/desktop-$mode.png" || echo "no screenshot" >&2

if [[ $mode == jack ]]; then
  jack_lsp >"$artifacts/jack-ports-before-$mode.txt" 2>/dev/null
fi
stop
if [[ $mode == jack ]]; then
  jack_lsp 2>/dev/null | grep -q '^Quillmarsh' && fail "ports of the program remain after it ended"
fi
catalog=$XDG_DATA_HOME/Quillmarsh/Catalog.sqlite
[[ -f $catalog ]] || fail "no catalog at $catalog"
[[ $(sqlite3 "$catalog" 'PRAGMA integrity_check') == ok ]] || fail "the catalog fails its integrity check"

# Expert mode survives a restart.
start
ask status | grep -q '"expert":true' || fail "expert mode was lost"
grep -q '\\"finderPanel\\":false' "$XDG_CONFIG_HOME/Quillmarsh/Quillmarsh.conf" || fail "the panel setting was lost"

# This time the tray menu's last item, "Quit Quillmarsh", ends the program:
# a click on the icon in tint2's tray opens the menu, Up picks the last item.
trayIcon() {
  local w
  for w in $(xdotool search --onlyvisible --class '^quillmarsh$' 2>/dev/null); do
    xdotool getwindowgeometry "$w" 2>/dev/null | grep -q 'Geometry: 24x24' && echo "$w" && return 0
  done
  return 1
}
waitUntil 10 trayIcon || fail "the tray icon was not embedded"
xdotool mousemove --window "$(trayIcon)" 12 12 click 1
sleep 0.5
xdotool key Up Return
end=$((SECONDS + 5))
while kill -0 "$app" 2>/dev/null && ((SECONDS <= end)); do sleep 0.05; done
kill -0 "$app" 2>/dev/null && fail "\"Quit Quillmarsh\" in the tray menu did not end the program"
wait "$app"
rc=$?
((rc == 0)) || fail "the program exited $rc after \"Quit Quillmarsh\""

if [[ $mode == null ]]; then
  # Without a tray, closing the last window quits; a launch with a file
  # then opens it itself.
  kill "$tint2"
  waitUntil 5 bash -c "! xdotool search --class tint2" || fail "tint2 did not go"
  start
  main=$(xdotool search --onlyvisible --name '^Quillmarsh$' | head -1)
  xdotool windowactivate --sync "$main" 2>/dev/null
  xdotool key alt+F4
  end=$((SECONDS + 5))
  while kill -0 "$app" 2>/dev/null && ((SECONDS <= end)); do sleep 0.05; done
  kill -0 "$app" 2>/dev/null && fail "closing the last window without a tray did not end the program"
  wait "$app"
  rc=$?
  ((rc == 0)) || fail "the program exited $rc after its last window closed"
  "$program" "$work/tone.wav" >>"$artifacts/quillmarsh-$mode.log" 2>&1 &
  app=$!
  waitUntil 10 xdotool search --onlyvisible --name '^Editor$' || fail "a launch with a file did not map \"Editor\""
  stop
fi
echo "ok ($mode)"
