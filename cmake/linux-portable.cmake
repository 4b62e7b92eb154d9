# Builds the Linux executable that runs where users are (glibc 2.31 and later: Debian 11, Ubuntu
# 20.04, RHEL 9) with nothing else installed: linked against the Debian 11 root that
# scripts/sysroot.sh makes (VELLORA_SYSROOT), with the C++ runtime, OpenSSL's libcrypto and zlib
# linked in. libsystemd is loaded at run time by the tray. The host's g++ 12 compiles; only the
# C library's headers and libraries come from the root.
if(NOT VELLORA_SYSROOT OR NOT EXISTS "${VELLORA_SYSROOT}/usr/include/stdio.h")
  message(FATAL_ERROR "VELLORA_SYSROOT must name the Debian 11 root made by scripts/sysroot.sh")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELLORA_SYSROOT)

set(CMAKE_CXX_COMPILER g++)
set(CMAKE_SYSROOT "${VELLORA_SYSROOT}")
set(VELLORA_PORTABLE ON CACHE BOOL "Link for glibc 2.31 (set by this toolchain file)" FORCE)
set(OPENSSL_USE_STATIC_LIBS ON)
set(ZLIB_USE_STATIC_LIBS ON)

# g++ looks for its start files and libraries in this machine's /usr/lib before the root's: the
# root's come first, so nothing of the newer C library is linked.
set(_vellora_libdir "${VELLORA_SYSROOT}/usr/lib/x86_64-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-B${_vellora_libdir} -L${_vellora_libdir} -static-libstdc++ -static-libgcc")
