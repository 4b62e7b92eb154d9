#!/usr/bin/env bash
# Makes every file of a release in dist/VERSION/ from the last commit (uncommitted changes are
# not part of a release):
#   site/static/agent/   version.json and both executables, as the site publishes them
#   vellora-agent_VERSION_amd64.deb, vellora-agent-VERSION-windows-x86_64.zip, SHA256SUMS
#
#   scripts/release.sh VERSION                        build, check and package
#   scripts/release.sh --check-reproducible VERSION   then build everything again without any
#                                                     cache and compare the files byte for byte
#   scripts/release.sh --check-version VERSION        only tell whether VERSION may be released
#
# VERSION must be the one the source declares (the file VERSION) and one the agent's update
# accepts: 1 to 3 groups of digits, at most 20 characters (and groups up to 65535, as Windows
# file versions are 16-bit). Installs what it needs with apt-get, and makes the Debian 11 root it
# links the Linux executable against once (scripts/sysroot.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

usage() {
  echo "usage: $0 [--check-reproducible | --check-version] VERSION" >&2
  exit 2
}

# The agent reads a published version with the same rule (service/manifest.cpp).
version_problem() {
  local v=$1
  if [ ${#v} -lt 1 ] || [ ${#v} -gt 20 ] || ! [[ $v =~ ^[0-9]+(\.[0-9]+)?(\.[0-9]+)?$ ]]; then
    echo "\"$v\" is not a version the agent's update accepts: 1 to 3 groups of digits separated by dots, at most 20 characters"
    return
  fi
  local group
  for group in ${v//./ }; do
    group=$(sed 's/^0*//' <<<"$group")
    if [ ${#group} -gt 5 ] || [ $((10#0$group)) -gt 65535 ]; then
      echo "\"$v\" has a group above 65535, which a Windows file version cannot hold"
      return
    fi
  done
}

mode=release
case "${1:-}" in
  --check-reproducible) mode=reproducible; shift ;;
  --check-version) mode=version; shift ;;
esac
[ $# -eq 1 ] || usage
version=$1
problem=$(version_problem "$version")
if [ -n "$problem" ]; then
  echo "Error: $problem" >&2
  exit 1
fi
[ $mode = version ] && exit 0

source_version=$(head -n1 VERSION)
if [ "$version" != "$source_version" ]; then
  echo "Error: the source is version $source_version (the file VERSION); change it and commit before releasing $version" >&2
  exit 1
fi
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
  echo "Note: uncommitted changes are not part of the release; it is made from $(git rev-parse --short HEAD)" >&2

source scripts/packages.sh
bash scripts/deps.sh "${BUILD_PACKAGES[@]}" "${RELEASE_PACKAGES[@]}"
sysroot=$(bash scripts/sysroot.sh)

export SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export TZ=UTC LC_ALL=C
work="$repo/build-release"
mkdir -p "$work"

# The committed tree, always at the same path, so that nothing of the working copy (or of where
# the clone is) reaches the executables.
export_source() {
  rm -rf "$work/src"
  mkdir -p "$work/src"
  git archive HEAD | tar -x -C "$work/src"
}

# build DIR: both stripped executables in DIR (vellora-agent-linux, vellora-agent.exe).
build() {
  local dir=$1
  local src="$work/src"
  local maps="-ffile-prefix-map=$src=. -ffile-prefix-map=$dir=build"
  # Headers taken from this machine, each in a folder of its own: Boost (header-only) and sd-bus
  # (declarations only: libsystemd is loaded at run time; Debian 11's own trip -Werror in C++).
  mkdir -p "$dir/boost-include" "$dir/sd-bus-include"
  ln -sfn /usr/include/boost "$dir/boost-include/boost"
  ln -sfn /usr/include/systemd "$dir/sd-bus-include/systemd"
  local launcher=()
  if [ -z "${CCACHE_DISABLE:-}" ] && command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$src" -B "$dir/linux" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORA_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/linux-portable.cmake" -DVELLORA_SYSROOT="$sysroot" \
    -DVELLORA_BOOST_INCLUDE="$dir/boost-include" -DVELLORA_SD_BUS_INCLUDE="$dir/sd-bus-include" \
    -DCMAKE_CXX_FLAGS="$maps" "${launcher[@]}" >/dev/null
  cmake -S "$src" -B "$dir/windows" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORA_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
    -DVELLORA_BOOST_INCLUDE="$dir/boost-include" -DCMAKE_CXX_FLAGS="$maps" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,--no-insert-timestamp" "${launcher[@]}" >/dev/null
  cmake --build "$dir/linux" --target vellora-agent
  cmake --build "$dir/windows" --target vellora-agent
  strip --strip-all -o "$dir/vellora-agent-linux" "$dir/linux/vellora-agent"
  x86_64-w64-mingw32-strip --strip-all -o "$dir/vellora-agent.exe" "$dir/windows/vellora-agent.exe"
}

# The executables must answer for this version, fit their size limits and, on Linux, run with
# glibc 2.31 and nothing else.
check() {
  local dir=$1
  local answer
  answer=$("$dir/vellora-agent-linux" --version)
  [ "$answer" = "vellora-agent $version" ] ||
    { echo "Error: the Linux executable answers \"$answer\"" >&2; exit 1; }
  bash scripts/check-portable.sh "$dir/vellora-agent-linux"
  local linux_size windows_size
  linux_size=$(stat -c %s "$dir/vellora-agent-linux")
  windows_size=$(stat -c %s "$dir/vellora-agent.exe")
  echo "Sizes: Linux $((linux_size / 1024)) KiB (limit 15 MB), Windows $((windows_size / 1024)) KiB (limit 10 MB)"
  [ "$linux_size" -lt 15000000 ] || { echo "Error: the Linux executable is too large" >&2; exit 1; }
  [ "$windows_size" -lt 10000000 ] || { echo "Error: the Windows executable is too large" >&2; exit 1; }
}

# In the Debian 11 root itself (as root only): --version, and a one-page document compiled
# through the agent's HTTP API.
try_in_root() {
  local exe=$1
  if [ "$(id -u)" -ne 0 ]; then
    echo "Not root: the executable was not tried inside the Debian 11 root"
    return
  fi
  local home=/tmp/vellora-release-home
  rm -rf "$sysroot$home"
  mkdir -p "$sysroot$home"
  install -m 0755 "$exe" "$sysroot/usr/local/bin/vellora-agent"
  mountpoint -q "$sysroot/proc" || mount -t proc proc "$sysroot/proc"
  trap 'umount "$sysroot/proc" 2>/dev/null || true' EXIT
  local in_root=(chroot "$sysroot" env -i HOME=$home PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8)
  local answer
  answer=$("${in_root[@]}" vellora-agent --version)
  [ "$answer" = "vellora-agent $version" ] ||
    { umount "$sysroot/proc"; echo "Error: in Debian 11 it answers \"$answer\"" >&2; exit 1; }
  local port
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  "${in_root[@]}" VELLORA_AGENT_PORT=$port vellora-agent --no-tray >"$work/root-agent.log" 2>&1 &
  local agent=$!
  local status=0
  python3 scripts/compile-one-page.py "$port" "$("${in_root[@]}" VELLORA_AGENT_PORT=$port vellora-agent code | head -n1)" ||
    status=$?
  kill "$agent" 2>/dev/null || true
  wait "$agent" 2>/dev/null || true
  umount "$sysroot/proc"
  if [ $status -ne 0 ]; then
    echo "Error: the one-page compile in Debian 11 failed; the agent said:" >&2
    cat "$work/root-agent.log" >&2
    exit 1
  fi
  echo "Debian 11: --version answers and a one-page document compiles"
}

package() {
  local dir=$1 out=$2
  bash scripts/package-release.sh --version "$version" --linux "$dir/vellora-agent-linux" \
    --windows "$dir/vellora-agent.exe" --out "$out" --sysroot "$sysroot"
}

export_source
started=$(date +%s)
build "$work/build"
built=$(date +%s)
check "$work/build"
try_in_root "$work/build/vellora-agent-linux"
out="$repo/dist/$version"
package "$work/build" "$out"
lintian --fail-on error --suppress-tags no-manual-page "$out/vellora-agent_${version}_amd64.deb"
finished=$(date +%s)
echo "Built both executables in $((built - started)) s; checked and packaged in $((finished - built)) s."

if [ $mode = reproducible ]; then
  # Everything again, in another folder and without the compiler cache, which would hide a
  # compiler output that differs from one run to the next.
  rm -rf "$work/again"
  CCACHE_DISABLE=1 build "$work/again"
  package "$work/again" "$work/again/dist"
  if diff "$out/SHA256SUMS" "$work/again/dist/SHA256SUMS"; then
    echo "Reproducible: a second build gives the same bytes for every file."
  else
    echo "Error: a second build gave other bytes (above: the digests that differ)" >&2
    exit 1
  fi
fi
echo "Release $version: $out"
(cd "$out" && cat SHA256SUMS)
