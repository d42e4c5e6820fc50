# Cross-build for 64-bit Windows with mingw-w64 (the posix-threads variant, which
# std::thread and GoogleTest need). Programs link fully statically, so no runtime DLLs
# have to sit beside the .exe files; ctest runs them under Wine.
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BV_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# MinGW's own C99 printf family (%zu, %lld, standard snprintf truncation) in C sources too;
# libstdc++ already selects it for C++.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

# Every executable, test programs included: the C and C++ runtimes and winpthread are
# linked in, so a test runs the same under Wine as the deployed program on Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian's wine64 package keeps its loader out of PATH, in /usr/lib/wine.
find_program(BV_WINE64 NAMES wine64 HINTS /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin
             NO_CMAKE_FIND_ROOT_PATH)
if(BV_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${BV_WINE64}")
endif()
