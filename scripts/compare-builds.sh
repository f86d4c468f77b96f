#!/usr/bin/env bash
# Runs one generated workload (a table with words-prefix, words and int64 whole indexes;
# 25 batches of 800 adds, each followed by a request of deletes and a commit; then a halt)
# on the servers of two builds and compares what they leave: every answer byte, and every
# file in DATA/ but the meta file (its records carry the time of each change). A change
# to the engine that should keep the bytes on disk must show "same" for every file.
#   scripts/compare-builds.sh BIN_DIR_A BIN_DIR_B
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -eq 2 ] || { echo "usage: $0 BIN_DIR_A BIN_DIR_B" >&2; exit 2; }
work=$(mktemp -d /tmp/dovrel-compare-XXXXXX)
trap 'rm -rf "$work"' EXIT
python3 - "$work/work.txt" <<'PY'
import random, sys
random.seed(7)
words = [''.join(random.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(random.randint(2, 9)))
         for _ in range(3000)]
out = ["create table docs alias 'Load' {\n"
       "  field title alias 'Title' : text { index p 'words-prefix'; };\n"
       "  field body alias 'Body' : text { index w 'words'; };\n"
       "  field year alias 'Year' : int64 { index y 'whole'; };\n};"]
n, dead = 0, set()
for batch in range(25):
    adds = []
    for i in range(800):
        title = ' '.join(random.choice(words) for _ in range(3))
        body = ' '.join(random.choice(words) for _ in range(random.randint(20, 80)))
        adds.append(f"add document {{ field title = '{title}'; field body = '{body}'; "
                    f"field year = '{1950 + random.randint(0, 70)}'; }} to table docs;")
        n += 1
    out.append('\n'.join(adds))
    gone = sorted(set(random.randint(0, n - 1) for _ in range(30)) - dead)
    dead |= set(gone)
    out.append("delete " + "\n".join(f"document {d} from table docs;" for d in gone))
    out.append("commit;")
open(sys.argv[1], 'w').write('\n\n'.join(out) + '\n')
PY
# One client for both sides: the answers compared are the servers'.
client=$2/dovrel-client
[ -x "$client" ] || client=$1/dovrel-client
port=$((20000 + RANDOM % 20000))
for side in A B; do
  bin=$1; [ $side = B ] && bin=$2
  port=$((port + 1))
  scripts/init-instance.sh "$work/$side" --admin admin --password admin --bin-dir "$bin" >/dev/null
  (cd "$work/$side" && exec ./dovrel -port:$port >console.txt 2>&1) &
  server=$!
  for _ in $(seq 100); do
    DOVREL_USER=admin DOVREL_PASSWORD=admin "$client" -p $port -c "get table names;" \
      >/dev/null 2>&1 && break
    sleep 0.1
  done
  DOVREL_USER=admin DOVREL_PASSWORD=admin "$client" -p $port -f "$work/work.txt" \
    >"$work/$side/answers.txt"
  DOVREL_USER=admin DOVREL_PASSWORD=admin "$client" -p $port -c "halt;" >/dev/null 2>&1 || true
  wait $server
done
status=0
if cmp -s "$work/A/answers.txt" "$work/B/answers.txt"; then echo "same answers"; else echo "DIFFERENT answers"; status=1; fi
for file in "$work"/A/DATA/*; do
  name=$(basename "$file")
  case $name in *.meta) continue ;; esac
  if cmp -s "$file" "$work/B/DATA/$name"; then echo "same $name"; else echo "DIFFERENT $name"; status=1; fi
done
exit $status
