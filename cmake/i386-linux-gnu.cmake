# 32-bit x86 build with the native compiler (g++-multilib) against Debian's
# i386 multiarch libraries:
#   cmake -S . -B build-i386 --toolchain cmake/i386-linux-gnu.cmake
# time_t and off_t stay 32 bits, as Debian's i386 libraries are built. The
# programs and tests run here: the 64-bit kernel runs 32-bit programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# SSE arithmetic instead of the x87's 80-bit registers, so a double holds the
# same value whether or not it was spilled to memory.
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Only the i386 libraries: the 64-bit ones sit in the same prefix.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
  /usr/lib/x86_64-linux-gnu/cmake)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
