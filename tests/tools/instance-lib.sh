# shellcheck shell=bash
# Shell helpers of the instance tests (sourced, not run): a scratch directory, free ports,
# a server started in its own process group and waited for, and the checks' reporting.
# Callers set BIN (the directory of dovrel, secmigrate and dovrel-client).

failures=0

# Reports a failed check and goes on; the script's status shows it at the end.
fail_check() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
  if [ "$2" != "$3" ]; then
    fail_check "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /' >&2 || true
  fi
}

finish_checks() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}

# Whether something accepts TCP connections on 127.0.0.1:$1.
port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# A port that nobody listens on right now, below the system's range of ephemeral ports:
# a port that some client connection uses as its local end refuses a bind as well.
pick_port() {
  local port low=32768
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true
  [ "$low" -gt 11000 ] || low=32768
  for _ in $(seq 1 50); do
    port=$((10000 + RANDOM % (low - 10000)))
    if ! port_in_use "$port"; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# start_server CONSOLE_FILE COMMAND...: runs the command in the background in a process
# group of its own (SERVER_PID), its console in CONSOLE_FILE.
start_server() {
  local console="$1"
  shift
  setsid "$@" >"$console" 2>&1 &
  SERVER_PID=$!
}

# wait_ready PORT USER PASSWORD: waits up to 30 s until the server answers a query of the
# user; false when it ended or never answered.
wait_ready() {
  for _ in $(seq 1 300); do
    if ! kill -0 "$SERVER_PID" 2>/dev/null; then return 1; fi
    if DOVREL_PASSWORD="$3" "$BIN/dovrel-client" -p "$1" -u "$2" -c 'get table names;' \
      >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# wait_exit SECONDS: the server's exit status once it has ended by itself; 124 when it is
# still running after SECONDS.
wait_exit() {
  for _ in $(seq 1 $(($1 * 10))); do
    if ! kill -0 "$SERVER_PID" 2>/dev/null; then
      local status=0
      wait "$SERVER_PID" || status=$?
      SERVER_PID=""
      return "$status"
    fi
    sleep 0.1
  done
  return 124
}

# Kills a server still running (its whole process group).
kill_server() {
  if [ -n "${SERVER_PID:-}" ]; then
    kill -9 -- "-$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
    SERVER_PID=""
  fi
}

# serve_instance DIR USER PASSWORD CONSOLE_FILE: starts DIR/dovrel on a free port (PORT)
# and waits until USER gets in; tries other ports while the bind fails (another program
# may take a port between the check and the start). False when it never answered.
serve_instance() {
  for _ in 1 2 3 4 5; do
    PORT="$(pick_port)"
    start_server "$4" "$1/dovrel" "-port:$PORT"
    if wait_ready "$PORT" "$2" "$3"; then return 0; fi
    kill_server
    grep -q '(bind)' "$4" || return 1
  done
  return 1
}
