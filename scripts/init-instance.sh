#!/usr/bin/env bash
# Creates a new dovrel instance directory: DATA/, LOGS/, a link to the built server, a
# network permission list that lets in local clients only, and a security file with one
# administrator. Never touches an existing instance. See --help.
set -euo pipefail
export LC_ALL=C # byte-wise character classes below

usage() {
  cat <<'EOF'
usage: scripts/init-instance.sh DIR [--admin NAME] [--password PW] [--bin-dir BINDIR]

Creates the instance directory DIR for the dovrel server:
  DIR/DATA/                    tables (empty)
  DIR/LOGS/                    query journal and its archives (empty)
  DIR/dovrel                   symbolic link to the server binary
  DIR/network_permissions.txt  admits 127.0.0.1 only
  DIR/security.txt             one administrator, made by secmigrate
Start the server with DIR/dovrel (port 8888) or DIR/dovrel -port:N; add
-address:127.0.0.1 to listen on loopback only (the permission list admits no one else).

  --admin NAME     the administrator's login name (default: admin): a Latin letter,
                   then Latin letters, digits or '_', at most 31 characters, lower case
  --password PW    the administrator's password: 1 to 31 printable ASCII characters, not
                   starting with a blank. Without it a random password is generated and
                   printed once. (A password on the command line is visible to other
                   local users while the script runs.)
  --bin-dir BINDIR where the dovrel and secmigrate binaries are (default: the script's
                   own directory when they are there, as after cmake --install; else
                   build/bin of this checkout, built with CMake first when missing)
  --help           this text

DIR must not exist yet, or be an empty directory: an existing instance is never
overwritten. Exit status 0 on success, 1 on any error, 2 for a bad command line.
EOF
}

fail() {
  echo "init-instance: $*" >&2
  exit 1
}

bad_usage() {
  echo "init-instance: $*" >&2
  echo "Try 'scripts/init-instance.sh --help'." >&2
  exit 2
}

script_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$script_dir/.." && pwd)"
dir=""
admin="admin"
password=""
password_given=0
bin_dir=""

while [ $# -gt 0 ]; do
  case "$1" in
    --help | -h)
      usage
      exit 0
      ;;
    --admin | --password | --bin-dir)
      [ $# -ge 2 ] || bad_usage "option $1 needs a value"
      case "$1" in
        --admin) admin="$2" ;;
        --password)
          password="$2"
          password_given=1
          ;;
        --bin-dir) bin_dir="$2" ;;
      esac
      shift 2
      ;;
    -*) bad_usage "unknown option: $1" ;;
    *)
      [ -z "$dir" ] || bad_usage "more than one directory given: $dir and $1"
      dir="$1"
      shift
      ;;
  esac
done
[ -n "$dir" ] || bad_usage "no instance directory given"

# The login name must come out of secmigrate unchanged, so only names it keeps as they are
# are accepted; the role names it creates itself are taken.
if ! [[ "$admin" =~ ^[a-z][a-z0-9_]{0,30}$ ]]; then
  bad_usage "invalid administrator name '$admin': a lower-case Latin letter, then Latin \
letters, digits or '_', at most 31 characters"
fi
case "$admin" in
  public | readers | writers | creators | admins)
    bad_usage "the name '$admin' is taken by a built-in role; choose another"
    ;;
esac

# The client sends passwords in code page 866 while secmigrate hashes the bytes of the
# user list as they are: only ASCII is the same in both, so only ASCII is accepted. The
# user list's reader skips leading blanks and stops at 31 characters.
if [ "$password_given" = 1 ]; then
  if [ "${#password}" -gt 31 ] || ! [[ "$password" =~ ^[!-~][\ -~]*$ ]]; then
    bad_usage "invalid password: 1 to 31 printable ASCII characters, not starting with a blank"
  fi
else
  password="$(LC_ALL=C tr -dc 'A-Za-z0-9' </dev/urandom | head -c 16 || true)"
  [ "${#password}" = 16 ] || fail "could not generate a random password"
fi

# Refuse before building anything, so a mistyped directory costs nothing.
if [ -e "$dir" ] || [ -L "$dir" ]; then
  [ -d "$dir" ] || fail "$dir exists and is not a directory"
  for entry in DATA LOGS dovrel security.txt network_permissions.txt; do
    if [ -e "$dir/$entry" ] || [ -L "$dir/$entry" ]; then
      fail "$dir is already an instance ($dir/$entry exists); nothing was changed"
    fi
  done
  [ -z "$(ls -A "$dir")" ] || fail "$dir exists and is not empty; nothing was changed"
fi

if [ -z "$bin_dir" ] && [ -x "$script_dir/dovrel" ] && [ -x "$script_dir/secmigrate" ]; then
  bin_dir="$script_dir" # installed beside the programs (cmake --install)
fi
if [ -z "$bin_dir" ]; then
  bin_dir="$repo/build/bin"
  if [ ! -x "$bin_dir/dovrel" ] || [ ! -x "$bin_dir/secmigrate" ]; then
    echo "init-instance: building the server in $repo/build"
    if [ ! -f "$repo/build/CMakeCache.txt" ]; then
      "$repo/scripts/deps.sh"
      cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$repo/build" -j2 --target dovrel secmigrate dovrel-client >/dev/null ||
      fail "the build failed; run: cmake --build $repo/build --target dovrel secmigrate"
  fi
fi
[ -x "$bin_dir/dovrel" ] || fail "no server binary at $bin_dir/dovrel"
[ -x "$bin_dir/secmigrate" ] || fail "no secmigrate binary at $bin_dir/secmigrate"
bin_dir="$(cd "$bin_dir" && pwd)"

# Everything made here is private to the operator: security.txt holds password hashes, and
# users.txt for a moment the password itself.
umask 077

created_dir=0
done_ok=0
cleanup() {
  # users.txt holds the password in clear: it never outlives the script.
  rm -f -- "$dir/users.txt"
  if [ "$done_ok" = 0 ]; then
    # A failed run leaves no half instance behind, so running again is not refused.
    rm -rf -- "$dir/DATA" "$dir/LOGS"
    rm -f -- "$dir/dovrel" "$dir/network_permissions.txt" "$dir/security.txt" \
      "$dir/security.txt.tmp"
    if [ "$created_dir" = 1 ]; then rmdir -- "$dir" 2>/dev/null || true; fi
  fi
}
trap cleanup EXIT

if [ ! -d "$dir" ]; then
  mkdir -p -- "$dir" || fail "cannot create $dir"
  created_dir=1
fi
mkdir -- "$dir/DATA" "$dir/LOGS"
ln -s -- "$bin_dir/dovrel" "$dir/dovrel"
printf '127.0.0.1\r\n' >"$dir/network_permissions.txt"
printf 'User: %s\nPassword: %s\nLevel: 4\n' "$admin" "$password" >"$dir/users.txt"
if ! output="$(cd "$dir" && "$bin_dir/secmigrate" 2>&1)"; then
  fail "secmigrate failed: $output"
fi
[ -f "$dir/security.txt" ] || fail "secmigrate wrote no security.txt"
done_ok=1

echo "Created the instance $dir"
echo "  administrator: $admin"
if [ "$password_given" = 1 ]; then
  echo "  password:      (as given)"
else
  echo "  password:      $password    (shown only this once; keep it)"
fi
echo "Start the server:  $dir/dovrel            (port 8888; -port:N for another)"
echo "  loopback only:   $dir/dovrel -address:127.0.0.1"
