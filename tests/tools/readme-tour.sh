#!/usr/bin/env bash
# Runs the tour of README.md as written, so the README cannot drift from the programs.
# The command blocks marked in README.md are taken from it in order and run by bash in a
# scratch directory that stands in for the checkout: scripts/serve.sh there serves a
# fresh demo instance on a free port (through the real serve.sh, with the already built
# binaries), and build/bin/dovrel-client talks to that port. Each marked output block is
# compared with what the command before it printed.
#
# Markers (an HTML comment on the line before a fenced block):
#   <!-- tour: server -->   start the server in the background and wait until it answers
#   <!-- tour: run -->      run; exit status 0 expected
#   <!-- tour: refused -->  run; exit status 1 expected (an ERROR answer)
#   <!-- tour: halt -->     run; the server must then end with status 0
#   <!-- tour: output -->   the exact output of the block before
# usage: readme-tour.sh REPO BUILD_DIR
set -uo pipefail
REPO="$(cd "$1" && pwd)"
BUILD="$(cd "$2" && pwd)"
BIN="$BUILD/bin"
. "$REPO/tests/tools/instance-lib.sh"

# --- the steps, read from README.md ------------------------------------------------------
kinds=()
commands=()
outputs=()
pending=""
block=""
in_block=0
while IFS= read -r line || [ -n "$line" ]; do
  if [ "$in_block" = 1 ]; then
    if [[ "$line" == '```'* ]]; then
      in_block=0
      if [ "$pending" = output ]; then
        if [ ${#kinds[@]} -eq 0 ] || [ -n "${outputs[-1]}" ]; then
          echo "README.md: an output block that follows no command block" >&2
          exit 1
        fi
        outputs[-1]="$block"
      else
        kinds+=("$pending")
        commands+=("$block")
        outputs+=("")
      fi
      pending=""
    else
      block+="$line"$'\n'
    fi
    continue
  fi
  if [[ "$line" =~ ^\<!--\ tour:\ ([a-z]+)\ --\>$ ]]; then
    pending="${BASH_REMATCH[1]}"
    case "$pending" in
      server | run | refused | halt | output) ;;
      *)
        echo "README.md: unknown tour marker '$pending'" >&2
        exit 1
        ;;
    esac
  elif [ -n "$pending" ] && [[ "$line" == '```'* ]]; then
    in_block=1
    block=""
  elif [ -n "$pending" ] && [ -n "$line" ]; then
    echo "README.md: the tour marker '$pending' is not followed by a fenced block" >&2
    exit 1
  fi
done <"$REPO/README.md"

count() {
  local n=0 k
  for k in "${kinds[@]}"; do [ "$k" = "$1" ] && n=$((n + 1)); done
  echo "$n"
}
# A README whose markers were lost must not pass as an empty tour.
if [ "$(count server)" -lt 2 ] || [ "$(count halt)" -lt 1 ] || [ "$(count run)" -lt 6 ]; then
  echo "README.md: the tour is missing (found ${#kinds[@]} marked blocks)" >&2
  exit 1
fi

# --- the stand-in checkout ---------------------------------------------------------------
work="$(mktemp -d)"
trap 'kill_server; rm -rf "$work"' EXIT
mkdir -p "$work/scripts" "$work/build/bin"
: >"$work/env.sh"

# Writes the stand-ins for the chosen PORT.
write_wrappers() {
  cat >"$work/scripts/serve.sh" <<EOF
#!/usr/bin/env bash
DOVREL_BUILD_DIR='$BUILD' DOVREL_DEMO_DIR='$work/demo' DOVREL_NO_BUILD=1 \\
  exec '$REPO/scripts/serve.sh' "\$@" -port:$PORT
EOF
  cat >"$work/build/bin/dovrel-client" <<EOF
#!/usr/bin/env bash
exec '$BIN/dovrel-client' -p $PORT "\$@"
EOF
  chmod +x "$work/scripts/serve.sh" "$work/build/bin/dovrel-client"
}

# Runs one block in the stand-in checkout with the variables that earlier blocks
# exported; its output in $work/out, its status returned.
run_block() {
  env -u DOVREL_USER -u DOVREL_PASSWORD bash -c '
    cd "$1" && . ./env.sh || exit 99
    set -e
    eval "$2"
    export -p >./env.sh' _ "$work" "$1" >"$work/out" 2>"$work/err"
}

show_console() {
  sed 's/^/    console: /' "$work/console" >&2
}

server_up=0
for i in "${!kinds[@]}"; do
  kind="${kinds[$i]}"
  command="${commands[$i]}"
  echo "--- step $((i + 1)) ($kind): ${command%%$'\n'*}"
  case "$kind" in
    server)
      if [ "$server_up" = 1 ]; then
        fail_check "step $((i + 1)) starts a server while one is running"
        break
      fi
      started=0
      for _ in 1 2 3 4 5; do
        PORT="$(pick_port)"
        write_wrappers
        start_server "$work/console" bash -c 'cd "$1" && . ./env.sh && eval "$2"' _ \
          "$work" "$command"
        if wait_ready "$PORT" admin admin; then
          started=1
          break
        fi
        kill_server
        # Another program may have taken the port in between; only then try again.
        grep -q '(bind)' "$work/console" || break
      done
      if [ "$started" = 0 ]; then
        fail_check "step $((i + 1)): the server did not start or refused admin/admin"
        show_console
        break
      fi
      server_up=1
      ;;
    run | refused | halt)
      status=0
      run_block "$command" || status=$?
      want=0
      [ "$kind" = refused ] && want=1
      if [ "$status" != "$want" ]; then
        fail_check "step $((i + 1)) ended with status $status, not $want"
        sed 's/^/    stderr: /' "$work/err" >&2
      fi
      if [ -n "${outputs[$i]}" ]; then
        expect_eq "step $((i + 1)) output" "${outputs[$i]%$'\n'}" "$(cat "$work/out")"
      fi
      if [ "$kind" = halt ]; then
        status=0
        wait_exit 30 || status=$?
        expect_eq "step $((i + 1)): the server's exit status after halt" 0 "$status"
        server_up=0
      fi
      ;;
  esac
  if [ "$failures" -ne 0 ]; then
    [ -f "$work/console" ] && show_console
    break
  fi
done

# The tour's first command made the demo instance through init-instance.sh.
[ -L "$work/demo/dovrel" ] || fail_check "serve.sh did not create the demo instance"
[ ! -e "$work/demo/users.txt" ] || fail_check "the demo instance keeps users.txt"

if [ "$server_up" = 1 ]; then
  DOVREL_PASSWORD="admin" "$BIN/dovrel-client" -p "$PORT" -u admin -c "halt;" >/dev/null 2>&1
  wait_exit 30 || true
fi
finish_checks
