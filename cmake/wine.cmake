# ctest runs the Windows test programs under wine, in the prefix that scripts/wine-prefix.sh makes
# inside the build directory (no z: drive; the build directory is v:). No display is needed and
# wine never offers to install Mono or Gecko.
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY=
    wine)
