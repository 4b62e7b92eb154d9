#!/usr/bin/env bash
# Makes the files of a release from executables already built:
#   package-release.sh --version V --linux EXE [--windows EXE] --out DIR [--sysroot ROOT]
# DIR receives site/static/agent/ (version.json and the executables under the names the agent
# downloads: a folder a web server publishes as it is), vellora-agent_V_amd64.deb,
# vellora-agent-V-windows-x86_64.zip (with --windows) and SHA256SUMS of all of them.
# Without --windows (the tests' releases) version.json has no Windows member. The licence texts
# of what is linked in come from the Debian root the Linux executable was linked against
# (--sysroot), else from this machine. SOURCE_DATE_EPOCH (default: the last commit's time) is
# the time of every file, so the same executables give the same bytes.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

version="" linux="" windows="" out="" sysroot=""
while [ $# -gt 0 ]; do
  case "$1" in
    --version) version=$2; shift 2 ;;
    --linux) linux=$2; shift 2 ;;
    --windows) windows=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --sysroot) sysroot=$2; shift 2 ;;
    *) echo "usage: $0 --version V --linux EXE [--windows EXE] --out DIR [--sysroot ROOT]" >&2
       exit 2 ;;
  esac
done
[ -n "$version" ] && [ -n "$linux" ] && [ -n "$out" ] ||
  { echo "usage: $0 --version V --linux EXE [--windows EXE] --out DIR [--sysroot ROOT]" >&2; exit 2; }
for tool in dpkg-deb sha256sum objdump strip; do
  command -v "$tool" >/dev/null || { echo "package-release: $tool is missing" >&2; exit 1; }
done
[ -z "$windows" ] || command -v zip >/dev/null || { echo "package-release: zip is missing" >&2; exit 1; }

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$repo" log -1 --format=%ct)}
export TZ=UTC LC_ALL=C
umask 022

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
# Published stripped (lintian refuses unstripped programs; stripping twice changes nothing).
strip --strip-all -o "$stage/vellora-agent-linux" "$linux"
linux="$stage/vellora-agent-linux"
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -rf "${out:?}/site" "$out"/*.deb "$out"/*.zip "$out/SHA256SUMS"

# Every file and folder gets the same time and plain modes.
settle() {
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# The first existing file of those given.
first_of() {
  for f in "$@"; do [ -f "$f" ] && { echo "$f"; return; }; done
  echo "package-release: none of $* exists" >&2
  return 1
}

# Licence texts: NAME FILE pairs, gathered into one text.
licence_texts() {
  while [ $# -gt 0 ]; do
    printf '\n%s\n%s\n\n' "----- $1 -----" "$(cat "$2")"
    shift 2
  done
}

# Debian's copyright file of Boost lists every file of it (2 MB); the headers the agent uses are
# all under the Boost Software License, whose text it also holds.
boost="$stage/boost-licence.txt"
{
  echo "Copyright: Boost project contributors"
  echo "License: Boost Software License 1.0"
  awk '/^License: BSL-1.0$/ { if ((getline line) > 0 && line ~ /^ /) { found = 1; print line; next } }
       found && /^ / { print; next }
       found { exit }' "$(first_of /usr/share/doc/libboost1.81-dev/copyright)"
} >"$boost"
grep -q "Boost Software License - Version 1.0" "$boost" ||
  { echo "package-release: the Boost licence text was not found" >&2; exit 1; }

linux_licences=(
  "Boost (Asio, Beast, JSON)" "$boost"
  "OpenSSL (libcrypto)" "$(first_of "$sysroot"/usr/share/doc/libssl1.1/copyright \
                             "$sysroot"/usr/share/doc/libssl-dev/copyright \
                             /usr/share/doc/libssl3/copyright /usr/share/doc/libssl-dev/copyright)"
  "zlib" "$(first_of "$sysroot"/usr/share/doc/zlib1g/copyright /usr/share/doc/zlib1g/copyright)"
  "GCC runtime (libstdc++, libgcc)" "$(first_of /usr/share/doc/gcc-12-base/copyright)")

# --- the site folder ---------------------------------------------------------------------------
agent="$out/site/static/agent"
mkdir -p "$agent"
install -m 0755 "$linux" "$agent/vellora-agent-linux-x86_64"
sha_linux=$(sha256sum "$agent/vellora-agent-linux-x86_64" | cut -c1-64)
if [ -n "$windows" ]; then
  install -m 0644 "$windows" "$agent/vellora-agent-windows-x86_64.exe"
  sha_windows=$(sha256sum "$agent/vellora-agent-windows-x86_64.exe" | cut -c1-64)
  printf '{\n  "sha256_linux": "%s",\n  "sha256_windows": "%s",\n  "version": "%s"\n}\n' \
    "$sha_linux" "$sha_windows" "$version" >"$agent/version.json"
else
  printf '{\n  "sha256_linux": "%s",\n  "version": "%s"\n}\n' "$sha_linux" "$version" \
    >"$agent/version.json"
fi
chmod 0644 "$agent/version.json"
settle "$out/site"

# --- the Debian package ------------------------------------------------------------------------
deb="$stage/deb"
install -d -m 0755 "$deb/DEBIAN" "$deb/usr/bin" "$deb/usr/lib/systemd/user" \
  "$deb/usr/lib/vellora-agent" "$deb/usr/share/doc/vellora-agent" "$deb/usr/share/lintian/overrides"
install -m 0755 "$linux" "$deb/usr/bin/vellora-agent"
# The agent reads this to know that the package manager, not the agent, updates it.
echo apt >"$deb/usr/lib/vellora-agent/updated-by"
cat >"$deb/usr/lib/systemd/user/vellora-agent.service" <<'UNIT'
[Unit]
Description=Vellora local compile agent
After=default.target

[Service]
ExecStart=/usr/bin/vellora-agent background
Restart=on-failure

[Install]
WantedBy=default.target
UNIT
{
  echo "vellora-agent ($version) unstable; urgency=medium"
  echo
  echo "  * Release $version."
  echo
  echo " -- Vellora developers <agent@vellora.app>  $(date -u -d "@$SOURCE_DATE_EPOCH" -R)"
} | gzip -9n >"$deb/usr/share/doc/vellora-agent/changelog.gz"
{
  echo "vellora-agent, the local compile agent of the Vellora editor."
  echo "Copyright: the Vellora developers."
  echo
  echo "The executable contains the following libraries, under their own licences:"
  licence_texts "${linux_licences[@]}"
} >"$deb/usr/share/doc/vellora-agent/copyright"
# zlib, OpenSSL's libcrypto and the C++ runtime are linked in on purpose: the same executable
# is the one the agent's own update installs on any Linux distribution.
cat >"$deb/usr/share/lintian/overrides/vellora-agent" <<'OVERRIDES'
vellora-agent: embedded-library zlib [usr/bin/vellora-agent]
OVERRIDES
find "$deb/usr" -type f ! -path '*/bin/*' -exec chmod 0644 {} +
# The newest glibc symbol version the executable needs.
glibc=$(objdump -T "$linux" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n1)
size_kib=$(du -k -s "$deb/usr" | cut -f1)
cat >"$deb/DEBIAN/control" <<CONTROL
Package: vellora-agent
Version: $version
Architecture: amd64
Maintainer: Vellora developers <agent@vellora.app>
Installed-Size: $size_kib
Depends: libc6 (>= $glibc)
Recommends: latexmk, texlive-latex-recommended
Section: tex
Priority: optional
Homepage: https://vellora.app
Description: local compile agent of the Vellora LaTeX editor
 Lets the Vellora web LaTeX editor, running in a browser, compile projects
 with this machine's TeX installation over HTTP on 127.0.0.1. Browsers pair
 once through a one-time code. Run "vellora-agent install" to start it with
 your session (a systemd user unit).
CONTROL
(cd "$deb" && find usr -type f | sort | xargs md5sum >DEBIAN/md5sums)
chmod 0644 "$deb/DEBIAN/control" "$deb/DEBIAN/md5sums"
settle "$deb"
dpkg-deb --root-owner-group -Zxz --build "$deb" "$out/vellora-agent_${version}_amd64.deb" >/dev/null

# --- the Windows zip ---------------------------------------------------------------------------
if [ -n "$windows" ]; then
  zipdir="$stage/zip/vellora-agent-$version"
  mkdir -p "$zipdir"
  install -m 0644 "$windows" "$zipdir/vellora-agent.exe"
  install -m 0644 "$repo/README.md" "$zipdir/README.md"
  licence_texts \
    "Boost (Asio, Beast, JSON)" "$boost" \
    "zlib" "$(first_of /usr/share/doc/libz-mingw-w64-dev/copyright)" \
    "MinGW-w64 runtime and winpthreads" "$(first_of /usr/share/doc/mingw-w64-x86-64-dev/copyright \
                                            /usr/share/doc/mingw-w64-common/copyright)" \
    "GCC runtime (libstdc++, libgcc)" "$(first_of /usr/share/doc/gcc-mingw-w64-base/copyright \
                                          /usr/share/doc/gcc-12-base/copyright)" \
    >"$zipdir/LICENSES.txt"
  settle "$stage/zip"
  # Sorted members, no extra attributes (owners, extended times): the same bytes every time.
  (cd "$stage/zip" && find "vellora-agent-$version" -type f | sort |
     zip -q -X -D -9 "$out/vellora-agent-$version-windows-x86_64.zip" -@)
fi

# --- the digests -------------------------------------------------------------------------------
(cd "$out" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort | xargs sha256sum >SHA256SUMS)
settle "$out"
echo "Release $version packaged in $out"
