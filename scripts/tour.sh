#!/usr/bin/env bash
# A tour of tolvo-recorder-service, driven with tolvoctl: a throwaway service and vault under
# BUILD/tour, never the user's own. Every command is printed before it runs.
#
#   scripts/tour.sh [BUILD]    (BUILD defaults to build; `make run` builds it first)
#
# The service and tolvoctl see only folders under BUILD/tour (TMPDIR, XDG_RUNTIME_DIR,
# XDG_DATA_HOME, XDG_CONFIG_HOME, HOME) and no D-Bus session bus, so the vault's keys go to
# the file store under BUILD/tour instead of the desktop keyring. The tour removes BUILD/tour
# when it starts and when it ends (TOLVO_TOUR_KEEP=1 keeps it) and stops its service on
# every exit path.
set -euo pipefail

BUILD=${1:-build}
BIN=$(cd "$BUILD/bin" 2>/dev/null && pwd) || {
  echo "tour: no $BUILD/bin; build first (make build)" >&2
  exit 1
}
for program in tolvoctl tolvo-recorder-service; do
  [[ -x $BIN/$program ]] || { echo "tour: $BIN/$program is missing; build first (make build)" >&2; exit 1; }
done

TOUR=$(cd "$BUILD" && pwd)/tour
rm -rf "$TOUR"
mkdir -p "$TOUR"/{tmp,run,data,config,home}
chmod 700 "$TOUR" "$TOUR"/*

# A Unix socket path holds at most 107 bytes; a deep checkout gets a short private folder.
SOCKET_DIR=$TOUR/run/tolvodesk
SOCKET_TMP=
if (( ${#SOCKET_DIR} > 80 )); then
  SOCKET_TMP=$(mktemp -d /tmp/tolvo-tour.XXXXXX)
  SOCKET_DIR=$SOCKET_TMP/tolvodesk
fi
SOCKET=$SOCKET_DIR/recorder.sock

export TMPDIR=$TOUR/tmp XDG_RUNTIME_DIR=$TOUR/run XDG_DATA_HOME=$TOUR/data XDG_CONFIG_HOME=$TOUR/config HOME=$TOUR/home
export TOLVO_SOCKET=$SOCKET
export DBUS_SESSION_BUS_ADDRESS=disabled:
unset TOLVO_UITEST_MODE
export PATH=$BIN:$PATH

SERVICE_PID=
cleanup() {
  local status=$?
  if [[ -n $SERVICE_PID ]] && kill -0 "$SERVICE_PID" 2>/dev/null; then
    kill -TERM "$SERVICE_PID" 2>/dev/null || true
    wait "$SERVICE_PID" 2>/dev/null || true
  fi
  [[ -n $SOCKET_TMP ]] && rm -rf "$SOCKET_TMP"
  if [[ ${TOLVO_TOUR_KEEP:-0} == 1 ]]; then
    echo "(kept $TOUR)"
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

say "Everything lives under ${TOUR#"$PWD"/}; the socket is $SOCKET."
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

say "Recorded sessions: none, since this service build does not record yet."
run tolvoctl sessions list
run tolvoctl --json sessions list
run tolvoctl sessions repair
run_may_fail tolvoctl recording status

say "Lock the vault and stop the service."
run tolvoctl vault lock
run tolvoctl service stop
wait "$SERVICE_PID" 2>/dev/null || true
SERVICE_PID=
say "Done; ${TOUR#"$PWD"/} is removed now."
