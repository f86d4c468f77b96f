#!/usr/bin/env bash
# Keeps the layers one-way: a file may include project headers only from its own layer
# or a lower one, and only src/platform/ may include operating-system headers.
# Usage: check-layers.sh [repository root]. Prints each violation; exit 1 if any.
set -u
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2

# The security store's own files sit above tables; the rest of src/security/ are the
# principals, below tables.
store_files='^(Security|SecurityQuery|SimpleLog)\.(h|cpp)$'

rank_of() {  # rank_of <subsystem folder> <file name>
  case "$1" in
    foundation) echo 0 ;;
    platform) echo 1 ;;
    storage) echo 2 ;;
    index) echo 3 ;;
    security) if [[ "$2" =~ $store_files ]]; then echo 6; else echo 4; fi ;;
    tables) echo 5 ;;
    query) echo 7 ;;
    server) echo 8 ;;
    client) echo 9 ;;
    *) echo 99 ;;
  esac
}

posix='<(sys/[a-z_/]+|unistd|fcntl|dirent|pthread|netinet/[a-z_]+|arpa/inet|netdb|fnmatch|poll|signal|semaphore)\.h>'
bad=0
while IFS= read -r file; do
  sub=${file#src/}; sub=${sub%%/*}
  own=$(rank_of "$sub" "$(basename "$file")")
  if [ "$sub" != platform ] && grep -nE "^\s*#\s*include\s*$posix" "$file" >/dev/null; then
    grep -nE "^\s*#\s*include\s*$posix" "$file" | sed "s|^|$file: operating-system header outside src/platform: |"
    bad=1
  fi
  while IFS= read -r inc; do
    target=$(sed -E 's/.*"([a-z]+)\/([^"]+)".*/\1 \2/' <<<"$inc")
    tsub=${target%% *}; tfile=$(basename "${target#* }")
    trank=$(rank_of "$tsub" "$tfile")
    if [ "$sub" = client ]; then
      case "$tsub" in foundation|platform|client) continue ;; esac
      echo "$file: the client may use only foundation and platform: $inc"; bad=1
    elif [ "$trank" -gt "$own" ]; then
      echo "$file: includes a higher layer: $inc"; bad=1
    fi
  done < <(grep -hE '^\s*#\s*include\s*"[a-z]+/' "$file")
done < <(find src -name '*.h' -o -name '*.cpp' | sort)

while IFS= read -r file; do
  if grep -qE '^\s*#\s*include\s*"(query|server|client)/' "$file"; then
    echo "$file: secmigrate stands alone and may not use the server's upper layers"; bad=1
  fi
  if grep -qE "^\s*#\s*include\s*$posix" "$file"; then
    echo "$file: operating-system header outside src/platform"; bad=1
  fi
done < <(find tools -name '*.h' -o -name '*.cpp' 2>/dev/null | sort)

if [ $bad -eq 0 ]; then echo "layers are one-way"; fi
exit $bad
