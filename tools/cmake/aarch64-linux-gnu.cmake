# Cross-compiles for 64-bit ARM Linux against a Debian arm64 sysroot, running target
# programs (FindPython's interpreter queries included) under qemu-user.
#   -DVANTOREL_SYSROOT=<dir>     the unpacked arm64 packages (tools/aarch64-sysroot.sh)
#   -DVANTOREL_CROSS_CLANG=ON    clang --target=aarch64-linux-gnu and lld instead of GCC
# Needs CMake 4.1 or newer with -DCMAKE_POLICY_DEFAULT_CMP0190=NEW, so FindPython takes
# the extension suffix from the target interpreter.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTOREL_SYSROOT VANTOREL_CROSS_CLANG)

if(VANTOREL_CROSS_CLANG)
  set(CMAKE_CXX_COMPILER clang++)
  set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
  set(CMAKE_EXE_LINKER_FLAGS_INIT -fuse-ld=lld)
  set(CMAKE_SHARED_LINKER_FLAGS_INIT -fuse-ld=lld)
  set(CMAKE_MODULE_LINKER_FLAGS_INIT -fuse-ld=lld)
else()
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
endif()

# The C library and C++ runtime come from the cross toolchain; only Python's headers
# come from the sysroot. Debian's pyconfig.h includes <aarch64-linux-gnu/python3.11/pyconfig.h>.
set(CMAKE_CXX_FLAGS_INIT "-isystem ${VANTOREL_SYSROOT}/usr/include")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${VANTOREL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${VANTOREL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
