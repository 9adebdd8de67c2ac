# Cross build for the switch's CPU: 32-bit big-endian PowerPC, Debian's
# g++-powerpc-linux-gnu. Tests run on the target CPU through qemu-user.
#
#   scripts/cross-openssl    # once per machine: static libcrypto for the target
#   cmake -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-powerpc-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(_target powerpc-linux-gnu)
set(CMAKE_C_COMPILER ${_target}-gcc)
set(CMAKE_CXX_COMPILER ${_target}-g++)

set(_sysroot /usr/${_target})
# 32-bit PowerPC has no 64-bit atomic instructions: std::atomic<uint64_t>
# and the target's static libcrypto call into libatomic.
set(CMAKE_C_STANDARD_LIBRARIES_INIT -latomic)
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT -latomic)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc-static -L ${_sysroot})

# libcrypto for the target, built by scripts/cross-openssl outside the tree.
if(NOT DEFINED OPENSSL_ROOT_DIR)
  if(DEFINED ENV{OPENSSL_PPC_PREFIX})
    set(OPENSSL_ROOT_DIR $ENV{OPENSSL_PPC_PREFIX})
  else()
    set(OPENSSL_ROOT_DIR /var/cache/switch-boot-manager/openssl-ppc)
  endif()
endif()
set(OPENSSL_USE_STATIC_LIBS TRUE)

# Look for target libraries and headers only in the target's trees; programs
# still come from the host.
set(CMAKE_FIND_ROOT_PATH ${_sysroot} ${OPENSSL_ROOT_DIR})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
