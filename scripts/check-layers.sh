#!/usr/bin/env bash
# Keeps the layers one-way: a file of src/<layer>/ may include project headers only from its
# own layer or one listed before it in src/LAYERS (only from the layers its line names, for
# a line "layer: a b"), and only src/platform/ may include operating-system headers.
# Usage: check-layers.sh [repository root]. Prints each violation; exit 1 if any.
set -u
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2

declare -A rank only
n=0
while read -r line; do
  layer=${line%%:*}
  rank[$layer]=$n
  [[ "$line" == *:* ]] && only[$layer]=" ${line#*:} "
  n=$((n + 1))
done < <(grep -E '^[a-z]' src/LAYERS)

posix='<(sys/[a-z_/]+|unistd|fcntl|dirent|pthread|netinet/[a-z_]+|arpa/inet|netdb|fnmatch|poll|signal|semaphore)\.h>'
bad=0
for dir in src/*/; do
  layer=$(basename "$dir")
  [ -n "${rank[$layer]+set}" ] || { echo "$dir: a folder that src/LAYERS does not list"; bad=1; }
done
while IFS= read -r file; do
  layer=${file#src/}; layer=${layer%%/*}
  own=${rank[$layer]:-99}
  if [ "$layer" != platform ] && grep -nE "^\s*#\s*include\s*$posix" "$file" >/dev/null; then
    grep -nE "^\s*#\s*include\s*$posix" "$file" | sed "s|^|$file: operating-system header outside src/platform: |"
    bad=1
  fi
  while IFS= read -r inc; do
    used=$(sed -E 's/.*"([a-z]+)\/.*/\1/' <<<"$inc")
    [ "$used" = "$layer" ] && continue
    if [ -z "${rank[$used]+set}" ]; then
      echo "$file: includes a folder that src/LAYERS does not list: $inc"; bad=1
    elif [ -n "${only[$layer]+set}" ] && [[ "${only[$layer]}" != *" $used "* ]]; then
      echo "$file: $layer may use only"${only[$layer]}": $inc"; bad=1
    elif [ "${rank[$used]}" -gt "$own" ]; then
      echo "$file: includes a higher layer: $inc"; bad=1
    fi
  done < <(grep -hE '^\s*#\s*include\s*"[a-z]+/' "$file")
done < <(find src -name '*.h' -o -name '*.cpp' | sort)

while IFS= read -r file; do
  if grep -qE '^\s*#\s*include\s*"(query|server|dovrel|client)/' "$file"; then
    echo "$file: secmigrate stands alone and may not use the server's upper layers"; bad=1
  fi
  if grep -qE "^\s*#\s*include\s*$posix" "$file"; then
    echo "$file: operating-system header outside src/platform"; bad=1
  fi
done < <(find tools -name '*.h' -o -name '*.cpp' 2>/dev/null | sort)

if [ $bad -eq 0 ]; then echo "layers are one-way"; fi
exit $bad
