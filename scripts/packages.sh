# Package lists shared by the set-up scripts.
BUILD_PACKAGES=(cmake ninja-build g++ libboost1.81-dev libssl-dev zlib1g-dev libsystemd-dev pkg-config
                ca-certificates)
TEX_PACKAGES=(texlive-latex-base texlive-latex-recommended texlive-fonts-recommended texlive-xetex
              texlive-luatex latexmk context lmodern fonts-lmodern
              texlive-pictures texlive-bibtex-extra biber fonts-dejavu-core
              texlive-latex-extra ghostscript)
TEST_PACKAGES=(googletest libgtest-dev curl wget python3 xz-utils dbus poppler-utils lintian
               texlive-font-utils)
# The Windows build (zlib linked statically), its tests (googletest from source) and wine 8 to run them.
WINDOWS_TEST_PACKAGES=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev googletest
                       wine wine64)
# The browser benchmark: a real Chromium and a plain Node.js sink.
BENCH_PACKAGES=(chromium nodejs)
# What scripts/release.sh needs beyond the build: the Debian 11 root, the package check, the zip,
# and the Windows cross-build.
RELEASE_PACKAGES=(debootstrap lintian zip binutils git python3 g++-mingw-w64-x86-64-posix
                  binutils-mingw-w64-x86-64 libz-mingw-w64-dev)
