# Cross build for Windows x86-64 with Debian's mingw-w64 compiler (the posix thread variant, which
# std::thread and GoogleTest need). Everything is linked statically, so the executable imports only
# DLLs that come with Windows. Programs built here (the unit tests) run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QV_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${QV_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${QV_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "ranlib")

# The mingw-w64 system folder, after whatever the command line gives (scripts/build-windows adds
# .deps/win64, where the bootstrap installs the libraries built for Windows).
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${QV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc, libstdc++ or winpthread DLL beside the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The C99 printf family (%zu, %lld, snprintf's length result) instead of the system DLL's own.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

# The unit tests run through Wine with a private prefix in the build folder. -all hides a missing
# DLL (the program then just exits 53), so loader errors stay on.
find_program(QV_WINE wine)
if(QV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" "WINEDEBUG=-all,err+module"
      "WINEDLLOVERRIDES=mscoree,mshtml=" ${QV_WINE})
endif()
