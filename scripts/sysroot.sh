#!/usr/bin/env bash
# Makes, once, the Debian 11 (bullseye, glibc 2.31) root that the released Linux executable is
# linked against, so that it runs on the systems users have. The root also holds a TeX, so that the
# release can be tried inside it. Prints the root's path. Idempotent: a finished root is reused.
#   VELLORA_SYSROOT         where the root goes (default: a folder of the user's cache)
#   VELLORA_DEBIAN_MIRROR   the Debian archive to fetch from (default: the one apt uses here)
set -euo pipefail
cd "$(dirname "$0")/.."

root=${VELLORA_SYSROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/vellora-agent-release/bullseye}
# Raised whenever the list below changes, so that an older root is made again.
stamp="$root/.vellora-sysroot-1"

# The kernel's interface headers come from this machine (Debian 12's linux-libc-dev, Linux 6.1):
# they describe system calls, not the C library, and the agent uses newer ones than Debian 11's
# (Landlock, close_range), checking at run time whether the kernel has them.
kernel_headers() {
  local version
  version=$(dpkg-query -W -f='${Version}' linux-libc-dev)
  local headers_stamp="$root/.vellora-kernel-headers-$version"
  [ -f "$headers_stamp" ] && return
  rm -rf "$root/usr/include/linux" "$root/usr/include/asm-generic" \
    "$root/usr/include/x86_64-linux-gnu/asm"
  cp -a /usr/include/linux /usr/include/asm-generic "$root/usr/include/"
  cp -a /usr/include/x86_64-linux-gnu/asm "$root/usr/include/x86_64-linux-gnu/"
  rm -f "$root"/.vellora-kernel-headers-*
  touch "$headers_stamp"
}

if [ -f "$stamp" ]; then
  kernel_headers
  echo "$root"
  exit 0
fi

bash scripts/deps.sh debootstrap >&2
[ "$(id -u)" -eq 0 ] || { echo "debootstrap needs root: run this script as root" >&2; exit 1; }

mirror=${VELLORA_DEBIAN_MIRROR:-}
if [ -z "$mirror" ]; then
  mirror=$(grep -rhoE '(https?|file)://[^ ]*/debian/?( |$)' /etc/apt/sources.list \
             /etc/apt/sources.list.d/ 2>/dev/null | grep -v security | head -n1 | tr -d ' ' || true)
fi

# Headers and static archives to link against, and what a one-page compile needs.
packages=libc6-dev,linux-libc-dev,libssl-dev,zlib1g-dev,libsystemd-dev,texlive-latex-base,latexmk
rm -rf "$root.partial"
mkdir -p "$(dirname "$root")"
echo "Making the Debian 11 root in $root (once)..." >&2
debootstrap --variant=minbase --include="$packages" bullseye "$root.partial" ${mirror:+"$mirror"} >&2
# Links to absolute paths would lead the linker out of the root, to this machine's libraries.
find "$root.partial/usr/lib/" "$root.partial/lib64/" -lname '/*' -print0 |
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$root.partial$target")" "$link"
  done
rm -rf "$root"
mv "$root.partial" "$root"
touch "$stamp"
kernel_headers
echo "$root"
