#!/usr/bin/env bash
# Whole-process recordings: tolvo-recorder-service recording a live 1920x1080 Xvfb desktop at
# 1 fps with its default settings, and then, on the same desktop for the same time, the ffmpeg
# tool (x11grab) encoding it into a fragmented MP4 with the same encoder settings.
#
#   bench/recording/record_process.sh BUILD [SECONDS]
#
# SECONDS (default 120) is the length of every recording; TOLVO_BENCH_READING_SECONDS sets
# another one for the reading desktop. Cases: HEVC and H.264 on a busy desktop (two terminals
# printing random text 10 and 5 times a second) and on a reading desktop (a page of text and
# one new line a minute); HEVC on the busy desktop with audio (a tone played into a private
# PulseAudio null sink; ffmpeg reads the same source). Figures per process: CPU seconds
# (user + system of the whole process, from getrusage via /usr/bin/time), CPU as % of one
# core over the recording time, peak resident memory, and MP4 bytes scaled to an hour (the
# service's plaintext chunk lengths, ffmpeg's output file). For the service the CPU of the
# recording alone (start to stop, /proc/PID/stat) is shown as well. Everything runs in a
# throwaway folder with its own vault; nothing of the user's is read or written.
set -euo pipefail

BUILD=${1:?usage: bench/recording/record_process.sh BUILD [SECONDS]}
DURATION=${2:-120}
READING=${TOLVO_BENCH_READING_SECONDS:-$DURATION}
[[ $DURATION =~ ^[1-9][0-9]*$ && $READING =~ ^[1-9][0-9]*$ ]] || { echo "record_process: SECONDS is a positive number" >&2; exit 2; }
BIN=$(cd "$BUILD/bin" 2>/dev/null && pwd) || { echo "record_process: no $BUILD/bin" >&2; exit 1; }
for program in "$BIN/tolvoctl" "$BIN/tolvo-recorder-service" Xvfb openbox xterm xprop jq ffmpeg /usr/bin/time; do
  command -v "$program" >/dev/null || { echo "record_process: $program is missing; skipped" >&2; exit 0; }
done

WORK=$(mktemp -d /tmp/tolvo-record-bench.XXXXXX)
mkdir -p "$WORK"/{tmp,run,data,config,home,x,out}
chmod 700 "$WORK" "$WORK"/*
export TMPDIR=$WORK/tmp XDG_RUNTIME_DIR=$WORK/run XDG_DATA_HOME=$WORK/data XDG_CONFIG_HOME=$WORK/config HOME=$WORK/home
export TOLVO_SOCKET=$WORK/run/recorder.sock DBUS_SESSION_BUS_ADDRESS=disabled: PATH=$BIN:$PATH
unset TOLVO_UITEST_MODE PULSE_SERVER
PASSWORD='bench password'
TICKS=$(getconf CLK_TCK)

SERVICE_PID=  # the service being measured (a child of /usr/bin/time)
PIDS=()  # background programs, stopped in reverse order at exit
WINDOWS=()  # the terminals of the current desktop
PROGRAM=record_process
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
cleanup() {
  local status=$? i
  [[ -n $SERVICE_PID ]] && kill -TERM "$SERVICE_PID" 2>/dev/null
  for ((i = ${#WINDOWS[@]} - 1; i >= 0; i--)); do stop_process "${WINDOWS[i]}"; done
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_process "${PIDS[i]}"; done
  rm -rf "$WORK"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
cpu_ticks() {  # PID: user + system clock ticks so far (the fields after the command name)
  local stat
  stat=$(<"/proc/$1/stat")
  stat=${stat##*) }
  read -r -a fields <<<"$stat"
  echo $((fields[11] + fields[12]))
}

Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$WORK/x/display" >"$WORK/x/xvfb.log" 2>&1 &
PIDS+=("$!")
until_true test -s "$WORK/x/display" || fail "Xvfb did not start: $(cat "$WORK/x/xvfb.log")"
DISPLAY=:$(tr -d '\n' <"$WORK/x/display")
export DISPLAY
openbox --sm-disable >>"$WORK/x/clients.log" 2>&1 &
PIDS+=("$!")
until_true eval 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' || fail "openbox did not start"

desktop() {  # busy|reading: closes the terminals of the last desktop and opens this one's
  local i
  for ((i = ${#WINDOWS[@]} - 1; i >= 0; i--)); do stop_process "${WINDOWS[i]}"; done
  WINDOWS=()
  if [[ $1 == busy ]]; then
    xterm -geometry 100x45+20+20 -fa Monospace -fs 11 \
      -e sh -c 'while :; do head -c 90 /dev/urandom | base64 -w 0; echo; sleep 0.1; done' >>"$WORK/x/clients.log" 2>&1 &
    WINDOWS+=("$!")
    xterm -geometry 100x45+960+300 -fa Monospace -fs 11 \
      -e sh -c 'while :; do head -c 60 /dev/urandom | od -An -tx1 | head -n 2; sleep 0.2; done' >>"$WORK/x/clients.log" 2>&1 &
    WINDOWS+=("$!")
  else
    xterm -geometry 120x50+200+80 -fa Monospace -fs 11 \
      -e sh -c 'ls -l /usr/bin | head -n 45; while :; do sleep 60; date "+%T  one more line"; done' >>"$WORK/x/clients.log" 2>&1 &
    WINDOWS+=("$!")
  fi
  sleep 2  # the terminals map and draw their first screen
}

AUDIO=0
start_audio() {  # a private PulseAudio with a null sink whose monitor is the default source, and a tone into it
  command -v pulseaudio >/dev/null && command -v pactl >/dev/null || return 1
  mkdir -p "$WORK/pulse"
  printf '%s\n' 'load-module module-null-sink sink_name=nullsink rate=44100 channels=2' \
    "load-module module-native-protocol-unix auth-anonymous=1 socket=$WORK/pulse/native" \
    'set-default-source nullsink.monitor' >"$WORK/pulse/server.pa"
  pulseaudio --daemonize=no --system=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no --disable-shm=yes \
    --realtime=no --high-priority=no -n --file="$WORK/pulse/server.pa" >"$WORK/pulse/server.log" 2>&1 &
  PIDS+=("$!")
  export PULSE_SERVER=unix:$WORK/pulse/native
  until_true pactl info >/dev/null 2>&1 || return 1
  ffmpeg -nostdin -v error -re -f lavfi -i 'sine=frequency=440:sample_rate=44100' -ac 2 -f pulse -device nullsink tone \
    >"$WORK/pulse/tone.log" 2>&1 &
  PIDS+=("$!")
}

VAULT=create
# Records SECONDS with the service; sets CPU, REC_CPU, RSS_KB, BYTES and FRAMES (pictures captured).
run_service() {  # SECONDS CODEC [--audio]
  local time_pid before session
  /usr/bin/time -f '%U %S %M' -o "$WORK/service.time" \
    tolvo-recorder-service --socket "$TOLVO_SOCKET" >>"$WORK/service.log" 2>&1 &
  time_pid=$!
  until_true tolvoctl --no-spawn vault status >/dev/null 2>&1 || fail "the service does not answer: $(tail "$WORK/service.log")"
  SERVICE_PID=$(pgrep -P "$time_pid")
  printf '%s\n' "$PASSWORD" | tolvoctl --password-stdin vault "$VAULT" >/dev/null
  VAULT=unlock
  before=$(cpu_ticks "$SERVICE_PID")
  tolvoctl record start --codec "$2" "${@:3}" >/dev/null
  sleep "$1"
  FRAMES=$(tolvoctl --json record status | jq '.framesCaptured // 0')
  tolvoctl record stop >/dev/null
  REC_CPU=$(awk -v t="$(($(cpu_ticks "$SERVICE_PID") - before))" -v hz="$TICKS" 'BEGIN { print t / hz }')
  session=$(tolvoctl --json sessions list --limit 1 | jq -r '.[0].id')
  tolvoctl --json chunks list "$session" >"$WORK/chunks.json"
  BYTES=$(jq '[.[].mp4PlainLen] | add' "$WORK/chunks.json")
  if [[ ${3:-} == --audio ]] && ! jq -e 'all(.[]; .hasAudio)' "$WORK/chunks.json" >/dev/null; then
    fail "the service recorded no audio"
  fi
  tolvoctl --no-spawn service stop >/dev/null
  wait "$time_pid" || fail "the service failed: $(tail "$WORK/service.log")"
  SERVICE_PID=
  read -r user sys RSS_KB <"$WORK/service.time"
  CPU=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
}
# Records SECONDS with ffmpeg; sets CPU, RSS_KB, BYTES.
run_ffmpeg() {  # SECONDS CODEC [--audio]
  local video audio=() sound=() out=$WORK/out/ffmpeg.mp4
  if [[ $2 == hevc ]]; then
    video=(-c:v libx265 -preset superfast -tune zerolatency -crf 28 -g 10 -bf 0 -forced-idr 1 -tag:v hvc1
      -x265-params bframes=0:open-gop=0:rc-lookahead=0:frame-threads=1:log-level=error)
  else
    video=(-c:v libx264 -preset veryfast -tune zerolatency -crf 23 -g 10 -bf 0 -forced-idr 1 -profile:v high)
  fi
  if [[ ${3:-} == --audio ]]; then
    sound=(-f pulse -sample_rate 44100 -channels 2 -i default)
    audio=(-c:a aac -b:a 128k)
  fi
  /usr/bin/time -f '%U %S %M' -o "$WORK/ffmpeg.time" \
    ffmpeg -nostdin -v error -f x11grab -framerate 1 -video_size 1920x1080 -i "$DISPLAY" "${sound[@]}" -t "$1" \
    -pix_fmt yuv420p "${video[@]}" "${audio[@]}" -movflags empty_moov+default_base_moof+frag_every_frame \
    -f mp4 -y "$out" 2>"$WORK/ffmpeg.log" || fail "ffmpeg failed: $(cat "$WORK/ffmpeg.log")"
  read -r user sys RSS_KB <"$WORK/ffmpeg.time"
  CPU=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
  BYTES=$(stat -c %s "$out")
  rm -f "$out"
}

ROWS=()
measure() {  # NAME SECONDS CODEC [--audio]
  local name=$1 seconds=$2 service_cpu service_rec service_rss service_bytes service_frames
  run_service "$seconds" "${@:3}"
  service_cpu=$CPU service_rec=$REC_CPU service_rss=$RSS_KB service_bytes=$BYTES service_frames=$FRAMES
  run_ffmpeg "$seconds" "${@:3}"
  ROWS+=("$(awk -v n="$name" -v t="$seconds" -v sc="$service_cpu" -v sr="$service_rec" -v sm="$service_rss" \
    -v sb="$service_bytes" -v fc="$CPU" -v fm="$RSS_KB" -v fb="$BYTES" -v sf="$service_frames" 'BEGIN {
      printf "%-14s %5d | %6.2f %6.2f %5d %6.2f%% %6.1f %7.1f | %6.2f %6.2f%% %6.1f %7.1f | %5.2f %5.2f\n",
        n, t, sc, sr, sf, 100 * sc / t, sm / 1024, sb * 3600 / t / 1e6,
        fc, 100 * fc / t, fm / 1024, fb * 3600 / t / 1e6, sc / fc, sb / fb }')")
  echo "${ROWS[-1]}"
}

echo "record_process: display $DISPLAY, $DURATION s per busy recording, $READING s per reading one; load: $(cut -d' ' -f1-3 /proc/loadavg)"
desktop busy
measure "busy hevc" "$DURATION" hevc
measure "busy h264" "$DURATION" h264
if start_audio; then
  measure "busy hevc+aud" "$DURATION" hevc --audio
else
  echo "record_process: no PulseAudio here; the audio case is skipped"
fi
desktop reading
measure "reading hevc" "$READING" hevc
measure "reading h264" "$READING" h264

echo
printf '%-20s | %-42s | %-29s | %s\n' "" service ffmpeg service/ffmpeg \
  "case            secs" " CPU s  rec s  pics   %core RSS MB MB/hour" " CPU s   %core RSS MB MB/hour" "  CPU bytes"
printf '%s\n' "${ROWS[@]}"
echo "(CPU s: user + system of the whole process; rec s: the service's CPU from record start to stop;"
echo " pics: pictures the service captured (ffmpeg encodes one a second);"
echo " %core: CPU s over the recording time; RSS MB: peak resident; MB/hour: MP4 bytes scaled to an hour)"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
