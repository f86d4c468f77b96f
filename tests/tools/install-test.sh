#!/usr/bin/env bash
# `cmake --install` into a scratch prefix, then an instance made by the installed instance
# script and served by the installed server on loopback: the programs, the script and the
# documentation are where the prefix says, the server answers the installed client, says
# where it listens, and a SIGTERM ends it like a halt (status 0, journal archived).
# usage: install-test.sh REPO BUILD_DIR
set -uo pipefail
REPO="$(cd "$1" && pwd)"
BUILD="$(cd "$2" && pwd)"
. "$REPO/tests/tools/instance-lib.sh"

scratch="$(mktemp -d)"
trap 'kill_server; rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"

if ! cmake --install "$BUILD" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
  sed 's/^/    install: /' "$scratch/install.log" >&2
  fail_check "cmake --install failed"
  finish_checks
fi
BIN="$prefix/bin"
for program in dovrel dovrel-client secmigrate dovrel-init-instance; do
  [ -x "$BIN/$program" ] || fail_check "no executable $BIN/$program"
done
for doc in README.md OPERATORS.md QUERY-LANGUAGE.md dovrel@.service formats/query-journal.md; do
  [ -f "$prefix/share/doc/dovrel/$doc" ] || fail_check "no $prefix/share/doc/dovrel/$doc"
done

"$BIN/dovrel" --help >"$scratch/help" 2>&1
expect_eq "dovrel --help ends with status 0" 0 "$?"
grep -q '^Использование: dovrel \[-port:ПОРТ\] \[-address:АДРЕС\]' "$scratch/help" ||
  fail_check "dovrel --help prints no usage line: $(cat "$scratch/help")"

# The installed script finds the installed programs beside it, without --bin-dir.
instance="$scratch/books"
if ! "$BIN/dovrel-init-instance" "$instance" --password s3cret >"$scratch/init" 2>&1; then
  fail_check "the installed instance script failed: $(cat "$scratch/init")"
  finish_checks
fi
expect_eq "the instance links the installed server" "$BIN/dovrel" "$(readlink "$instance/dovrel")"

started=0
for _ in 1 2 3 4 5; do
  PORT="$(pick_port)"
  start_server "$scratch/console" "$instance/dovrel" "-port:$PORT" -address:127.0.0.1
  if wait_ready "$PORT" admin s3cret; then
    started=1
    break
  fi
  kill_server
  grep -q '(bind)' "$scratch/console" || break
done
if [ "$started" = 1 ]; then
  grep -q "сервер принимает соединения: адрес 127.0.0.1, порт $PORT" "$scratch/console" ||
    fail_check "no listening line on the console: $(cat "$scratch/console")"
  answer="$(DOVREL_PASSWORD=s3cret "$BIN/dovrel-client" -p "$PORT" -u admin \
    -c "create table t alias 'T' { field f alias 'F' : text { }; };" 2>&1)"
  expect_eq "the installed server answers" "OK" "$answer"
  kill -TERM "$SERVER_PID"
  wait_exit 20
  expect_eq "SIGTERM ends the server with status 0" 0 "$?"
  grep -q 'работа завершена, сохраняемся' "$scratch/console" ||
    fail_check "SIGTERM printed no halt line: $(cat "$scratch/console")"
  [ ! -e "$instance/LOGS/current.log" ] || fail_check "SIGTERM left LOGS/current.log"
  [ -f "$instance/DATA/t.structure" ] || fail_check "the table is not saved"
else
  fail_check "the installed server did not start: $(cat "$scratch/console")"
fi
finish_checks
