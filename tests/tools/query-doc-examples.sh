#!/usr/bin/env bash
# Runs the examples of docs/QUERY-LANGUAGE.md, in order, against a fresh instance and
# compares each answer with the one the document shows, so the reference cannot drift
# from the server.
#
# Markers (an HTML comment on the line before a fenced block):
#   <!-- query -->                 a command, sent as the instance's administrator
#   <!-- query as NAME PASSWORD --> a command, sent as that user
#   <!-- answer -->                the exact answer to the command before (as dovrel-client
#                                  prints it: UTF-8, line ends without CR)
# usage: query-doc-examples.sh REPO BUILD_DIR [--print]   (--print shows every answer)
set -uo pipefail
REPO="$(cd "$1" && pwd)"
BIN="$(cd "$2/bin" && pwd)"
PRINT="${3:-}"
DOC="$REPO/docs/QUERY-LANGUAGE.md"
. "$REPO/tests/tools/instance-lib.sh"

users=()
commands=()
answers=()
pending=""
who=""
in_block=0
while IFS= read -r line || [ -n "$line" ]; do
  if [ "$in_block" = 1 ]; then
    if [[ "$line" == '```'* ]]; then
      in_block=0
      if [ "$pending" = answer ]; then
        answers[-1]="$block"
      else
        users+=("$who")
        commands+=("$block")
        answers+=("")
      fi
      pending=""
    else
      block+="$line"$'\n'
    fi
    continue
  fi
  if [[ "$line" =~ ^\<!--\ query(\ as\ ([a-z0-9_]+)\ ([^ ]+))?\ --\>$ ]]; then
    pending=query
    who="${BASH_REMATCH[2]:-admin} ${BASH_REMATCH[3]:-admin}"
  elif [[ "$line" == '<!-- answer -->' ]]; then
    if [ ${#commands[@]} -eq 0 ] || [ -n "${answers[-1]}" ]; then
      echo "QUERY-LANGUAGE.md: an answer that follows no query" >&2
      exit 1
    fi
    pending=answer
  elif [ -n "$pending" ] && [[ "$line" == '```'* ]]; then
    in_block=1
    block=""
  elif [ -n "$pending" ] && [ -n "$line" ]; then
    echo "QUERY-LANGUAGE.md: a marker is not followed by a fenced block" >&2
    exit 1
  fi
done <"$DOC"
if [ ${#commands[@]} -lt 20 ]; then
  echo "QUERY-LANGUAGE.md: only ${#commands[@]} marked examples" >&2
  exit 1
fi

scratch="$(mktemp -d)"
trap 'kill_server; rm -rf "$scratch"' EXIT
"$REPO/scripts/init-instance.sh" "$scratch/inst" --password admin --bin-dir "$BIN" >/dev/null ||
  exit 1
serve_instance "$scratch/inst" admin admin "$scratch/console" || {
  echo "the server did not start" >&2
  cat "$scratch/console" >&2
  exit 1
}

for i in "${!commands[@]}"; do
  read -r name password <<<"${users[$i]}"
  # The command as written, without the line end that closes the block.
  command="${commands[$i]%$'\n'}"
  actual="$(DOVREL_PASSWORD="$password" "$BIN/dovrel-client" -p "$PORT" -u "$name" \
    -c "$command" 2>&1)"
  if [ "$PRINT" = --print ]; then
    printf '### %s as %s\n%s\n' "$command" "$name" "$actual"
  fi
  if [ -n "${answers[$i]}" ]; then
    expect_eq "example $((i + 1)): $command" "${answers[$i]%$'\n'}" "$actual"
  fi
done
finish_checks
