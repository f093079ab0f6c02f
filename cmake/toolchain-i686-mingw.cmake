# Cross-builds the drivers as 32-bit x86 PE kernel-mode images with Debian's
# mingw-w64 i686 toolchain (gcc-mingw-w64-i686, g++-mingw-w64-i686,
# mingw-w64-i686-dev). The kernel-API declarations come from that toolchain's
# ddk/wdm.h and the imports from its libntoskrnl.a and libhal.a.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(HS_TARGET_TRIPLET i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${HS_TARGET_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${HS_TARGET_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${HS_TARGET_TRIPLET}-windres)
find_program(HS_TARGET_OBJDUMP NAMES ${HS_TARGET_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${HS_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Kernel code is optimised as drivers are: -O2, assertions compiled out.
set(CMAKE_C_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")

# The images are tried by linking, never by running.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
