# Shell helpers shared by the tour, the soak run and the whole-recording benchmark. The
# sourcing script sets PROGRAM, the name its messages start with.

fail() {
  echo "${PROGRAM:-tolvo}: $*" >&2
  exit 1
}

until_true() {  # runs the command every 50 ms until it succeeds, for at most 20 s
  local _
  for _ in $(seq 400); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}

stop_process() {  # PID: asks the process to end and waits for it
  if kill -0 "$1" 2>/dev/null; then
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
