#!/usr/bin/env bash
# Checks that a Linux executable runs where users are: it may need only glibc's own libraries,
# and no glibc symbol newer than the given version (default 2.31: Debian 11, Ubuntu 20.04).
#   check-portable.sh EXECUTABLE [GLIBC_VERSION]
# Prints what it found; exits 1 naming every library or symbol that is too much.
set -euo pipefail
exe=${1:?usage: check-portable.sh EXECUTABLE [GLIBC_VERSION]}
limit=${2:-2.31}
[ -f "$exe" ] || { echo "check-portable: no file $exe" >&2; exit 2; }
command -v objdump >/dev/null || { echo "check-portable: objdump (binutils) is missing" >&2; exit 2; }

# a.b <= c.d, numerically.
version_le() { [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | head -n1)" = "$1" ]; }

status=0
glibc_libraries='^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|libutil\.so\.1|libresolv\.so\.2|libanl\.so\.1|ld-linux-x86-64\.so\.2)$'
needed=$(objdump -p "$exe" | awk '$1 == "NEEDED" { print $2 }')
foreign=$(grep -Ev "$glibc_libraries" <<<"$needed" || true)
if [ -n "$foreign" ]; then
  echo "check-portable: $exe needs libraries beyond glibc's own: $(echo $foreign)" >&2
  status=1
fi

# Every versioned reference, as "GLIBC_2.34 __libc_start_main".
references=$(objdump -T "$exe" | awk '/\*UND\*/ && match($0, /\(([A-Z_]+_[0-9.]+)\)/) {
  print substr($0, RSTART + 1, RLENGTH - 2), $NF }' | sort -u)
newest=0
too_new=()
while read -r version symbol; do
  [ -n "$version" ] || continue
  case "$version" in
    GLIBC_PRIVATE) too_new+=("$symbol@$version") ;;
    GLIBC_*)
      number=${version#GLIBC_}
      version_le "$newest" "$number" && newest=$number
      version_le "$number" "$limit" || too_new+=("$symbol@$version")
      ;;
    *) too_new+=("$symbol@$version") ;;  # libstdc++ or libgcc_s, linked dynamically
  esac
done <<<"$references"
if [ ${#too_new[@]} -gt 0 ]; then
  echo "check-portable: $exe needs symbols of other libraries or newer than glibc $limit: ${too_new[*]}" >&2
  status=1
fi
if [ $status -eq 0 ]; then
  echo "check-portable: $exe needs glibc $newest at most and only $(echo $needed)"
fi
exit $status
