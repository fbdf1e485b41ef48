#!/usr/bin/env bash
# The end-to-end tour of tolvo-recorder-service, driven with tolvoctl: a throwaway service and
# vault under BUILD/tour, never the user's own. It records the screen for about 20 seconds,
# lists what was stored, decrypts the first chunk to BUILD/tour/chunk-0.mp4, summarizes the
# recording and ends by searching the text that was on the screen (the hit's picture goes to
# BUILD/tour/frame.png).
# Every command is printed before it runs.
#
#   scripts/tour.sh [BUILD]    (BUILD defaults to build; `make run` builds it first)
#
# With $DISPLAY set it records that desktop, opening two terminals on it and moving the focus
# between them. Without one (or run as `DISPLAY= scripts/tour.sh`) it starts a private Xvfb
# with openbox and a few live windows instead.
#
# The service and tolvoctl see only folders under BUILD/tour (TMPDIR, XDG_RUNTIME_DIR,
# XDG_DATA_HOME, XDG_CONFIG_HOME, HOME) and no D-Bus session bus, so the vault's keys go to
# the file store under BUILD/tour instead of the desktop keyring. The tour empties BUILD/tour
# when it starts; when it ends it removes everything there but chunk-0.mp4 and frame.png (TOLVO_TOUR_KEEP=1
# keeps it all), and on every exit path it stops its service and every X program it started.
set -euo pipefail

BUILD=${1:-build}
BIN=$(cd "$BUILD/bin" 2>/dev/null && pwd) || {
  echo "tour: no $BUILD/bin; build first (make build)" >&2
  exit 1
}
for program in tolvoctl tolvo-recorder-service; do
  [[ -x $BIN/$program ]] || { echo "tour: $BIN/$program is missing; build first (make build)" >&2; exit 1; }
done

PRIVATE_X=0
[[ -n ${DISPLAY:-} ]] || PRIVATE_X=1
for program in xterm xdotool $( ((PRIVATE_X)) && echo Xvfb openbox xprop); do
  command -v "$program" >/dev/null || { echo "tour: $program is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

TOUR=$(cd "$BUILD" && pwd)/tour
rm -rf "$TOUR"
mkdir -p "$TOUR"/{tmp,run,data,config,home,x}
chmod 700 "$TOUR" "$TOUR"/*

# A Unix socket path holds at most 107 bytes; a deep checkout gets a short private folder.
SOCKET_DIR=$TOUR/run/tolvodesk
SOCKET_TMP=
if (( ${#SOCKET_DIR} > 80 )); then
  SOCKET_TMP=$(mktemp -d /tmp/tolvo-tour.XXXXXX)
  SOCKET_DIR=$SOCKET_TMP/tolvodesk
fi
SOCKET=$SOCKET_DIR/recorder.sock

# HOME changes below; the desktop's X authority stays where it was.
if [[ $PRIVATE_X == 0 && -z ${XAUTHORITY:-} && -f $HOME/.Xauthority ]]; then
  export XAUTHORITY=$HOME/.Xauthority
fi
export TMPDIR=$TOUR/tmp XDG_RUNTIME_DIR=$TOUR/run XDG_DATA_HOME=$TOUR/data XDG_CONFIG_HOME=$TOUR/config HOME=$TOUR/home
export TOLVO_SOCKET=$SOCKET
export DBUS_SESSION_BUS_ADDRESS=disabled:
unset TOLVO_UITEST_MODE
export PATH=$BIN:$PATH

SERVICE_PID=
X_PIDS=()  # the programs the tour started: the X server (if any) first, its windows, the stand-in endpoint
PROGRAM=tour
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cleanup() {
  local status=$? i
  [[ -n $SERVICE_PID ]] && stop_process "$SERVICE_PID"
  for ((i = ${#X_PIDS[@]} - 1; i >= 0; i--)); do stop_process "${X_PIDS[i]}"; done
  [[ -n $SOCKET_TMP ]] && rm -rf "$SOCKET_TMP"
  if [[ ${TOLVO_TOUR_KEEP:-0} == 1 ]]; then
    echo "(kept $TOUR)"
  elif [[ -f $TOUR/chunk-0.mp4 ]]; then
    find "$TOUR" -mindepth 1 -maxdepth 1 ! -name chunk-0.mp4 ! -name frame.png -exec rm -rf {} +
  else
    rm -rf "$TOUR"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

PASSWORD='correct horse battery staple'
exec 2>&1  # messages in order with the output, also when piped

say() {  # one comment line per argument, after a blank line
  echo
  printf '# %s\n' "$@"
}
show() {  # prints a command line the way it could be typed
  local word line='+'
  for word in "$@"; do
    if [[ $word =~ ^[A-Za-z0-9_./:=@%+-]+$ ]]; then line+=" $word"; else line+=" '${word//\'/\'\\\'\'}'"; fi
  done
  printf '%s\n' "$line"
}
run() { show "$@"; "$@"; }
run_with_password() {  # the password goes in on standard input, as a script would give it
  local line
  line=$(show "$@")
  printf "+ echo '%s' | %s\n" "$PASSWORD" "${line#+ }"
  printf '%s\n' "$PASSWORD" | "$@"
}
run_may_fail() {  # a command whose failure is part of the story
  show "$@"
  local status=0
  "$@" || status=$?
  echo "(exit status $status)"
}
x_client() {  # starts an X program in the background, stopped when the tour ends
  "$@" >>"$TOUR/x/clients.log" 2>&1 &
  X_PIDS+=("$!")
}
WINDOWS=() TITLES=()
open_window() {  # TITLE GEOMETRY COMMAND: an xterm running COMMAND, added to WINDOWS and TITLES
  local id
  x_client xterm -title "$1" -geometry "$2" -fa Monospace -fs 12 -e sh -c "$3"
  id=$(timeout 20 xdotool search --sync --onlyvisible --name "^$1\$" | head -n 1) || true
  [[ -n $id ]] || fail "the terminal \"$1\" did not open: $(cat "$TOUR/x/clients.log")"
  WINDOWS+=("$id") TITLES+=("$1")
}
json_ids() {  # the "id" values of tolvoctl's --json output, in order
  sed -n 's/^ *"id": "\([^"]*\)".*/\1/p'
}

say "Everything lives under ${TOUR#"$PWD"/}; the socket is $SOCKET."
if [[ $PRIVATE_X == 1 ]]; then
  say "No \$DISPLAY: start a private X server (Xvfb, 1920x1080) with the openbox window manager."
  echo "+ Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp +extension RANDR &"
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp +extension RANDR -noreset \
    3>"$TOUR/x/display" >"$TOUR/x/xvfb.log" 2>&1 &
  X_PIDS+=("$!")
  until_true test -s "$TOUR/x/display" || fail "Xvfb did not start: $(cat "$TOUR/x/xvfb.log")"
  DISPLAY=:$(tr -d '\n' <"$TOUR/x/display")
  export DISPLAY
  x_client openbox --sm-disable
  until_true eval 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' ||
    fail "openbox did not come up: $(cat "$TOUR/x/clients.log")"
  echo "(display $DISPLAY)"
else
  say "Recording your desktop on $DISPLAY. The tour opens two terminals there and moves the focus" \
    "between them; they close when it ends."
fi
open_window 'tour: clock' 70x12+80+80 'while :; do date "+%H:%M:%S  a harbour lantern line a second"; sleep 1; done'
# shellcheck disable=SC2016  # the terminal's shell expands it
open_window 'tour: log' 90x30+700+300 \
  'i=0; while :; do i=$((i+1)); echo "line $i: $(head -c 30 /dev/urandom | base64)"; sleep 0.3; done'
if [[ $PRIVATE_X == 1 ]] && command -v xclock >/dev/null; then
  x_client xclock -update 1 -geometry 200x200+1600+60
fi
focus() {  # N: gives the focus to window N, the way a click would
  show xdotool windowactivate --sync "${WINDOWS[$1]}"
  timeout 5 xdotool windowactivate --sync "${WINDOWS[$1]}" || echo "(the window manager did not switch)"
  echo "(focus: ${TITLES[$1]})"
}

say "Start the service in the background; its log lines go to the system log."
echo "+ tolvo-recorder-service --socket $SOCKET &"
tolvo-recorder-service --socket "$SOCKET" >"$TOUR/service.out" 2>&1 &
SERVICE_PID=$!
for _ in $(seq 200); do
  tolvoctl --no-spawn vault status >/dev/null 2>&1 && break
  kill -0 "$SERVICE_PID" 2>/dev/null || { echo "tour: the service exited:" >&2; cat "$TOUR/service.out" >&2; exit 1; }
  sleep 0.05
done
tolvoctl --no-spawn vault status >/dev/null || { echo "tour: the service does not answer on $SOCKET" >&2; exit 1; }
echo "(service pid $SERVICE_PID)"

say "No vault yet. Reading recordings needs one."
run tolvoctl vault status
run_may_fail tolvoctl sessions list

say "Create the vault. Interactively tolvoctl asks twice without echo; scripts pipe the password."
run_with_password tolvoctl --password-stdin vault create
run tolvoctl vault status

say "Lock it (the master key and the database key leave memory), then unlock with the password."
run tolvoctl vault lock
run_may_fail tolvoctl sessions list
run_with_password tolvoctl --password-stdin vault unlock
run tolvoctl --json vault status

say "Data reads carry a UI session token, valid only on the connection that minted it." \
  "tolvoctl mints one per run by itself; the raw operation looks like this:"
show tolvoctl call mintUISession '{"validitySeconds":60}'
answer=$(tolvoctl call mintUISession '{"validitySeconds":60}')
echo "$answer"
token=$(sed -n 's/^ *"token": "\([A-Za-z0-9+\/=]*\)".*/\1/p' <<<"$answer")
if [[ -n $token ]] && decoded=$(base64 -d <<<"$token" 2>/dev/null); then
  say "The token's bytes are JSON (times in seconds since 2001-01-01 UTC):"
  echo "$decoded"
fi

say "Recording settings come from the defaults file (none written yet: the built-in ones)." \
  "\`tolvoctl record config --fps 2 ...\` would change them; \`record start\` flags override them once."
run tolvoctl record config
run tolvoctl record status

say "Record for about 20 seconds in 10-second chunks, switching windows every 4 seconds:" \
  "each switch starts a context interval. A short pause leaves a gap between recording intervals."
run tolvoctl record start --chunk-seconds 10
for step in 0 1 2 3 4; do
  sleep 4
  focus $((step % 2))
  if [[ $step == 1 ]]; then
    run tolvoctl record status
  elif [[ $step == 2 ]]; then
    run tolvoctl record pause --reason user
    sleep 2
    run tolvoctl record status
    run tolvoctl record resume
  fi
done
say "Stop: the answer comes once the last chunk is sealed and the session closed."
run tolvoctl record stop

SESSION=$(tolvoctl --json sessions list --limit 1 | json_ids | head -n 1)
[[ -n $SESSION ]] || fail "no session was recorded"
say "What was stored: the session, its chunks (encrypted MP4), recording and context intervals, events."
run tolvoctl sessions list
run tolvoctl sessions show "$SESSION"
run tolvoctl chunks list "$SESSION"
run tolvoctl intervals "$SESSION"
run tolvoctl events "$SESSION"

CHUNK=$(tolvoctl --json chunks list "$SESSION" | json_ids | head -n 1)
[[ -n $CHUNK ]] || fail "the session has no chunk"
say "Decrypt the first chunk to a plain MP4 file (0600)."
run tolvoctl chunks export "$SESSION" "$CHUNK" "$TOUR/chunk-0.mp4"
if command -v ffprobe >/dev/null; then
  run ffprobe -v error -show_entries stream=codec_name,width,height:format=duration -of compact "$TOUR/chunk-0.mp4"
fi

say "Summarize the recording here, without a remote service: one summary per 2-minute window from" \
  "the applications and windows in front; \`--endpoint URL\` would send each window's video instead."
run tolvoctl summary start "$SESSION" --interval 2m --question "What was on the screen?" --wait

say "The same through a remote summary service: here a stand-in on 127.0.0.1" \
  "(scripts/summary_endpoint.py) that describes what it received, the window's chunks joined into" \
  "one MP4. A 5-minute job also asks it for the day's summary."
exec {ENDPOINT_FD}< <(exec python3 "$(dirname "${BASH_SOURCE[0]}")/summary_endpoint.py")
ENDPOINT_PID=$!
X_PIDS+=("$ENDPOINT_PID")
read -r -u "$ENDPOINT_FD" ENDPOINT || fail "the stand-in summary service did not start"
run tolvoctl summary start "$SESSION" --interval 5m --question "What was on the screen?" --endpoint "$ENDPOINT" --wait

say "Find what was on the screen: each closed chunk's pictures are read (Tesseract, at idle" \
  "priority) into an encrypted full-text index. The clock terminal showed the word \"lantern\"."
for _ in $(seq 120); do
  [[ $(tolvoctl --json search lantern --limit 1) == *timestampMs* ]] && break
  sleep 1
done
run tolvoctl search lantern --limit 5
SEEN=$(tolvoctl --json search lantern --limit 1 | sed -n 's/.*"timestampMs": *\([0-9]*\).*/\1/p' | head -n 1)
if [[ -n $SEEN ]]; then
  say "The recorded picture at the moment of the first hit, decoded in memory into a PNG (0600)."
  run tolvoctl frame --at "$SEEN" -o "$TOUR/frame.png"
fi

say "Lock the vault and stop the service."
run tolvoctl vault lock
run tolvoctl service stop
wait "$SERVICE_PID" 2>/dev/null || true
SERVICE_PID=
say "Done. The first chunk's video is ${TOUR#"$PWD"/}/chunk-0.mp4 and the picture of the search hit" \
  "${TOUR#"$PWD"/}/frame.png; the rest of ${TOUR#"$PWD"/} is removed now."
