#!/usr/bin/env bash
# Soak runs of tolvo-recorder-service on a private Xvfb desktop (1920x1080, openbox, one busy
# terminal), each with its own throwaway vault under OUT, never the user's data.
#
#   scripts/soak.sh BUILD [SECONDS] [KILLS]    (`make soak` builds the binaries first)
#
# 1. A long recording: the default settings but 60-second chunks, for SECONDS (default 3600).
#    The service's VmRSS and VmHWM are sampled every 30 s into OUT/long/rss.csv
#    (seconds,rss_kb,hwm_kb). After the stop every chunk is exported and ffprobe decodes it;
#    prints the resident size at 5 minutes, mid-run and at the end, and its slope over the
#    second half (least squares, kB per hour), also of each 10 minutes' lowest sample, which
#    the rise and fall within a chunk do not move.
# 2. A crash loop: KILLS times (default 30) start the service, unlock, record in 5-second
#    chunks, wait 1-8 s and SIGKILL it. Then one more start, unlock and `sessions repair`;
#    every chunk with a plaintext length must export and decode, and no session may stay open.
#
# SECONDS=0 or KILLS=0 skips that part. OUT is BUILD/soak unless TOLVO_SOAK_OUT names another
# folder; it is emptied first. Exits non-zero when a check fails.
set -euo pipefail

BUILD=${1:?usage: scripts/soak.sh BUILD [SECONDS] [KILLS]}
DURATION=${2:-3600}
KILLS=${3:-30}
[[ $DURATION =~ ^[0-9]+$ && $KILLS =~ ^[0-9]+$ ]] || { echo "soak: SECONDS and KILLS are whole numbers" >&2; exit 2; }
BIN=$(cd "$BUILD/bin" 2>/dev/null && pwd) || { echo "soak: no $BUILD/bin; build first" >&2; exit 1; }
for program in "$BIN/tolvoctl" "$BIN/tolvo-recorder-service" Xvfb openbox xterm xprop jq ffprobe; do
  command -v "$program" >/dev/null || { echo "soak: $program is missing" >&2; exit 1; }
done

OUT=${TOLVO_SOAK_OUT:-$(cd "$BUILD" && pwd)/soak}
rm -rf "$OUT"
mkdir -p "$OUT/x"
chmod 700 "$OUT"
SHORT=$(mktemp -d /tmp/tolvo-soak.XXXXXX)  # sockets: a Unix socket path holds at most 107 bytes
PASSWORD='soak password'
export DBUS_SESSION_BUS_ADDRESS=disabled: PATH=$BIN:$PATH
unset TOLVO_UITEST_MODE

SERVICE_PID=
X_PIDS=()
PROGRAM=soak
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cleanup() {
  local status=$? i
  [[ -n $SERVICE_PID ]] && stop_process "$SERVICE_PID"
  for ((i = ${#X_PIDS[@]} - 1; i >= 0; i--)); do stop_process "${X_PIDS[i]}"; done
  rm -rf "$SHORT"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM


# A throwaway home for the service and tolvoctl: DIR/{tmp,run,data,config,home}.
use_sandbox() {  # DIR NAME
  mkdir -p "$1"/{tmp,run,data,config,home}
  chmod 700 "$1" "$1"/*
  export TMPDIR=$1/tmp XDG_RUNTIME_DIR=$1/run XDG_DATA_HOME=$1/data XDG_CONFIG_HOME=$1/config HOME=$1/home
  export TOLVO_SOCKET=$SHORT/$2.sock
  SANDBOX=$1
}
start_service() {
  tolvo-recorder-service --socket "$TOLVO_SOCKET" >>"$SANDBOX/service.log" 2>&1 &
  SERVICE_PID=$!
  until_true tolvoctl --no-spawn vault status >/dev/null 2>&1 ||
    fail "the service does not answer: $(tail -n 20 "$SANDBOX/service.log")"
}
vault() {  # create|unlock
  printf '%s\n' "$PASSWORD" | tolvoctl --password-stdin vault "$1" >/dev/null
}
stop_service() {
  tolvoctl --no-spawn service stop >/dev/null || fail "service stop failed"
  wait "$SERVICE_PID" 2>/dev/null || true
  SERVICE_PID=
}

# Exports CHUNK of SESSION and has ffprobe decode every picture; a failure leaves its reason in
# SANDBOX/check.err. Returns 2 for a chunk cut by a crash before its first complete picture.
check_chunk() {  # SESSION CHUNK
  local file=$SANDBOX/check.mp4 err=$SANDBOX/check.err frames
  rm -f "$file"
  if ! tolvoctl chunks export "$1" "$2" "$file" >/dev/null 2>"$err"; then
    sed -i '1s/^/export failed: /' "$err"
    return 1
  fi
  frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 \
    "$file" 2>"$err") || true
  rm -f "$file"
  [[ ! -s $err && $frames =~ ^[0-9]+$ && $frames -gt 0 ]] && return 0
  [[ -s $err ]] || return 2
  sed -i "1s|^|ffprobe (${frames:-0} pictures decoded): |" "$err"
  return 1
}
# Checks every chunk of SESSION with a plaintext length; prints "chunks checked failed unfinished".
check_session() {  # SESSION
  local chunks=0 checked=0 failed=0 unfinished=0 id length
  while read -r id length; do
    chunks=$((chunks + 1))
    local status=2
    [[ $length == null || $length == 0 ]] || { check_chunk "$1" "$id" && status=0 || status=$?; }
    if ((status == 0)); then
      checked=$((checked + 1))
    elif ((status == 2)); then
      unfinished=$((unfinished + 1))
    else
      failed=$((failed + 1))
      echo "soak: chunk $id of session $1: $(head -c 300 "$SANDBOX/check.err" | tr '\n' ' ')" >&2
    fi
  done < <(tolvoctl --json chunks list "$1" | jq -r '.[] | "\(.id) \(.mp4PlainLen)"')
  echo "$chunks $checked $failed $unfinished"
}

# The desktop: Xvfb, openbox and one terminal printing random text five times a second.
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$OUT/x/display" >"$OUT/x/xvfb.log" 2>&1 &
X_PIDS+=("$!")
until_true test -s "$OUT/x/display" || fail "Xvfb did not start: $(cat "$OUT/x/xvfb.log")"
DISPLAY=:$(tr -d '\n' <"$OUT/x/display")
export DISPLAY
openbox --sm-disable >>"$OUT/x/clients.log" 2>&1 &
X_PIDS+=("$!")
until_true eval 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' || fail "openbox did not start"
xterm -geometry 160x50+40+40 -fa Monospace -fs 11 \
  -e sh -c 'while :; do head -c 90 /dev/urandom | base64 -w 0; echo; sleep 0.2; done' >>"$OUT/x/clients.log" 2>&1 &
X_PIDS+=("$!")
echo "soak: display $DISPLAY, output under $OUT"
status=0

if ((DURATION > 0)); then
  use_sandbox "$OUT/long" long
  start_service
  vault create
  tolvoctl record start --chunk-seconds 60 >/dev/null
  echo "soak: recording for $DURATION s (service pid $SERVICE_PID), samples in $SANDBOX/rss.csv"
  echo "seconds,rss_kb,hwm_kb" >"$SANDBOX/rss.csv"
  SECONDS=0
  for ((at = 0; ; at += 30)); do
    ((at > DURATION)) && at=$DURATION
    while ((SECONDS < at)); do sleep 1; done
    kill -0 "$SERVICE_PID" 2>/dev/null || fail "the service died at $SECONDS s: $(tail -n 20 "$SANDBOX/service.log")"
    awk -v t="$at" '/^VmRSS:/ { rss = $2 } /^VmHWM:/ { hwm = $2 } END { print t "," rss "," hwm }' \
      "/proc/$SERVICE_PID/status" >>"$SANDBOX/rss.csv"
    ((at == DURATION)) && break
  done
  tolvoctl --json record status >"$SANDBOX/status.json"
  tolvoctl record stop >/dev/null
  session=$(tolvoctl --json sessions list --limit 1 | jq -r '.[0].id')
  read -r chunks checked failed unfinished < <(check_session "$session")
  ((failed == 0 && unfinished == 0 && chunks > 0)) || status=1
  stop_service
  awk -F, -v d="$DURATION" '
    NR == 1 { next }
    { t[++n] = $1; r[n] = $2; h = $3 }
    END {
      five = 1; mid = 1
      for (i = 1; i <= n; i++) {
        if ((t[i] - 300)^2 < (t[five] - 300)^2) five = i
        if ((t[i] - d / 2)^2 < (t[mid] - d / 2)^2) mid = i
      }
      for (i = 1; i <= n; i++) if (t[i] >= d / 2) {
        k++; sx += t[i]; sy += r[i]; sxx += t[i] * t[i]; sxy += t[i] * r[i]
        w = int(t[i] / 600); if (!(w in low) || r[i] < low[w]) low[w] = r[i]
      }
      slope = (k > 1 && k * sxx != sx * sx) ? (k * sxy - sx * sy) / (k * sxx - sx * sx) * 3600 : 0
      for (w in low) { m++; mx += w * 600; my += low[w]; mxx += (w * 600)^2; mxy += w * 600 * low[w] }
      floor = (m > 1) ? (m * mxy - mx * my) / (m * mxx - mx * mx) * 3600 : 0
      printf "soak: VmRSS start %d kB, at %d s %d kB, at %d s %d kB, end (%d s) %d kB; VmHWM %d kB\n",
        r[1], t[five], r[five], t[mid], r[mid], t[n], r[n], h
      printf "soak: slope over the second half %+.0f kB per hour (%d samples); of the 10-minute minima %+.0f kB per hour\n",
        slope, k, floor
    }' "$SANDBOX/rss.csv"
  echo "soak: long run: $chunks chunks, $checked exported and decoded, $failed failed, $unfinished without a complete picture"
fi

if ((KILLS > 0)); then
  use_sandbox "$OUT/crash" crash
  started=0
  for ((i = 1; i <= KILLS; i++)); do
    start_service
    if ((i == 1)); then vault create; else vault unlock; fi
    tolvoctl record start --chunk-seconds 5 >/dev/null 2>>"$SANDBOX/start.err" && started=$((started + 1))
    sleep "$(awk -v r="$RANDOM" 'BEGIN { printf "%.1f", 1 + 7 * r / 32767 }')"
    kill -KILL "$SERVICE_PID"
    wait "$SERVICE_PID" 2>/dev/null || true
    SERVICE_PID=
  done
  start_service
  vault unlock
  repaired=$(tolvoctl --json sessions repair | jq -r .repaired)
  tolvoctl --json sessions list --limit 10000 >"$SANDBOX/sessions.json"
  sessions=$(jq length "$SANDBOX/sessions.json")
  open=$(jq '[.[] | select(.endedAtMs == null)] | length' "$SANDBOX/sessions.json")
  total=(0 0 0 0)
  for session in $(jq -r '.[].id' "$SANDBOX/sessions.json"); do
    read -r -a counts < <(check_session "$session")
    for j in 0 1 2 3; do total[j]=$((total[j] + counts[j])); done
  done
  stop_service
  echo "soak: crash loop: $KILLS kills, $started recordings started, $sessions sessions, $repaired repaired, $open left open"
  echo "soak: crash loop: ${total[0]} chunks, ${total[1]} exported and decoded, ${total[2]} failed," \
    "${total[3]} without a complete picture (cut by the kill)"
  ((started == KILLS && sessions == KILLS && open == 0 && total[2] == 0 && total[1] > 0)) || status=1
fi

((status == 0)) && echo "soak: passed" || echo "soak: FAILED" >&2
exit "$status"
