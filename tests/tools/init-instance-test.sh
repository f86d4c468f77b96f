#!/usr/bin/env bash
# scripts/init-instance.sh against the built binaries: the layout it creates, that the
# server starts on it and lets the administrator in with the chosen or generated password,
# that it never overwrites an instance, and that a failed run leaves nothing behind.
# usage: init-instance-test.sh REPO BUILD_DIR
set -uo pipefail
REPO="$(cd "$1" && pwd)"
BIN="$(cd "$2/bin" && pwd)"
INIT="$REPO/scripts/init-instance.sh"
. "$REPO/tests/tools/instance-lib.sh"

scratch="$(mktemp -d)"
trap 'kill_server; rm -rf "$scratch"' EXIT

# run_init ARGS...: runs the script; its status in STATUS, stdout in OUT, stderr in ERR.
run_init() {
  STATUS=0
  "$INIT" "$@" >"$scratch/out" 2>"$scratch/err" || STATUS=$?
  OUT="$(cat "$scratch/out")"
  ERR="$(cat "$scratch/err")"
}

# The answer (and the client's messages) to one command sent to the server on PORT as
# USER with PASSWORD: ask COMMAND USER PASSWORD.
ask() {
  DOVREL_PASSWORD="$3" "$BIN/dovrel-client" -p "$PORT" -u "$2" -c "$1" 2>&1 || true
}

# serve DIR: starts DIR/dovrel on a free port (PORT), waiting until USER/PASSWORD get in.
serve() {
  if ! serve_instance "$1" "$2" "$3" "$scratch/console"; then
    fail_check "the server did not start on $1 or refused $2"
    sed 's/^/    console: /' "$scratch/console" >&2
  fi
}

halt_server() {
  ask 'halt;' "$1" "$2" >/dev/null
  wait_exit 20
  expect_eq "the server ends with status 0 after halt" 0 "$?"
}

# --- a given password: the layout and a working administrator --------------------------
inst="$scratch/one"
run_init "$inst" --admin boss --password 'S3cret pass!' --bin-dir "$BIN"
expect_eq "status of a clean run" 0 "$STATUS"
expect_eq "nothing on stderr after a clean run" "" "$ERR"
[[ "$OUT" == *"administrator: boss"* ]] || fail_check "the administrator is named: $OUT"
[[ "$OUT" != *"S3cret"* ]] || fail_check "a given password is echoed: $OUT"
[ -d "$inst/DATA" ] && [ -z "$(ls -A "$inst/DATA")" ] || fail_check "DATA/ is missing or not empty"
[ -d "$inst/LOGS" ] && [ -z "$(ls -A "$inst/LOGS")" ] || fail_check "LOGS/ is missing or not empty"
expect_eq "the server link" "$BIN/dovrel" "$(readlink "$inst/dovrel")"
expect_eq "the permission list admits 127.0.0.1 with CR LF" "3132372e302e302e310d0a" \
  "$(od -An -tx1 "$inst/network_permissions.txt" | tr -d ' \n')"
[ ! -e "$inst/users.txt" ] || fail_check "users.txt (a clear password) is left behind"
[ ! -e "$inst/security.txt.tmp" ] || fail_check "secmigrate's temporary file is left behind"
security="$(cat "$inst/security.txt")"
[[ "$security" == $'security {\r\n   user boss alias #4#boss# kind admin account unlock password rounds 256 '* ]] ||
  fail_check "security.txt does not start with the administrator: ${security:0:120}"
[[ "$security" != *"S3cret"* ]] || fail_check "security.txt holds the password in clear"
expect_eq "security.txt is private to the operator" 600 "$(stat -c %a "$inst/security.txt")"

serve "$inst" boss 'S3cret pass!'
answer="$(ask 'get users;' boss 'S3cret pass!')"
[[ "$answer" == $'OK\n{\n'*$'\n   user boss alias #4#boss# kind admin account unlock {\n      admins;\n   }\n'* ]] ||
  fail_check "the administrator cannot list the users: $answer"
# secmigrate writes the role aliases in code page 1251, and the client shows them so.
[[ "$answer" == *$'\n   role admins alias #14#Администраторы# {\n'* ]] ||
  fail_check "the role aliases do not read as written: $answer"
answer="$(ask 'get users;' boss 'wrong')"
[[ "$answer" == "ERROR"*"неверный пароль"* ]] || fail_check "a wrong password is not refused: $answer"
halt_server boss 'S3cret pass!'

# --- an existing instance is never overwritten ------------------------------------------
before="$(cd "$inst" && cat security.txt network_permissions.txt | md5sum)"
run_init "$inst" --password other --bin-dir "$BIN"
expect_eq "status of a second run on an instance" 1 "$STATUS"
[[ "$ERR" == *"already an instance"* ]] || fail_check "no clear refusal: $ERR"
expect_eq "the instance's files are unchanged" "$before" \
  "$(cd "$inst" && cat security.txt network_permissions.txt | md5sum)"
[ -d "$inst/DATA" ] && [ -L "$inst/dovrel" ] || fail_check "a refused run removed instance files"

mkdir "$scratch/busy" && echo keep >"$scratch/busy/notes"
run_init "$scratch/busy" --bin-dir "$BIN"
expect_eq "status for a directory that is not empty" 1 "$STATUS"
expect_eq "its content is untouched" "notes" "$(ls -A "$scratch/busy")"

# --- a generated password: printed once, and it works -----------------------------------
mkdir "$scratch/empty"
run_init "$scratch/empty" --bin-dir "$BIN"
expect_eq "status of a run into an empty directory" 0 "$STATUS"
generated="$(sed -n 's/^  password: *\([A-Za-z0-9]\{16\}\) .*/\1/p' <<<"$OUT")"
[ -n "$generated" ] || fail_check "no generated password printed: $OUT"
[[ "$(cat "$scratch/empty/security.txt")" == *"user admin alias"* ]] ||
  fail_check "the default administrator is not admin"
serve "$scratch/empty" admin "$generated"
halt_server admin "$generated"
run_init "$scratch/two" --bin-dir "$BIN"
second="$(sed -n 's/^  password: *\([A-Za-z0-9]\{16\}\) .*/\1/p' <<<"$OUT")"
[ -n "$second" ] && [ "$second" != "$generated" ] ||
  fail_check "two runs generated the same password or none"

# --- bad command lines create nothing ---------------------------------------------------
for args in "--admin Boss" "--admin public" "--admin 9lives" "--password ''" \
  "--password ' lead'" "--password 'пароль'" "--password $(printf 'x%.0s' {1..32})" "--bogus"; do
  eval "run_init \"\$scratch/bad\" $args --bin-dir \"\$BIN\""
  expect_eq "status for $args" 2 "$STATUS"
  [ ! -e "$scratch/bad" ] || fail_check "$args created the directory"
  [ -n "$ERR" ] || fail_check "$args gave no message"
done
run_init
expect_eq "status without a directory" 2 "$STATUS"
run_init --help
expect_eq "status of --help" 0 "$STATUS"
[[ "$OUT" == usage:* ]] || fail_check "--help prints no usage"

# --- a failing secmigrate leaves no half instance and no clear password -----------------
fake="$scratch/fakebin"
mkdir "$fake"
printf '#!/bin/sh\nexit 0\n' >"$fake/dovrel"
printf '#!/bin/sh\ntest -f users.txt && printf "broken" && exit 1\n' >"$fake/secmigrate"
chmod +x "$fake/dovrel" "$fake/secmigrate"
run_init "$scratch/half" --password p --bin-dir "$fake"
expect_eq "status when secmigrate fails" 1 "$STATUS"
[[ "$ERR" == *"secmigrate failed: broken"* ]] || fail_check "secmigrate's message is not shown: $ERR"
[ ! -e "$scratch/half" ] || fail_check "a failed run left $(ls -A "$scratch/half")"
mkdir "$scratch/kept"
run_init "$scratch/kept" --password p --bin-dir "$fake"
expect_eq "a failed run into an existing empty directory empties it again" "" \
  "$(ls -A "$scratch/kept" 2>&1)"

finish_checks
