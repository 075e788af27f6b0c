# Cross-build for 64-bit Windows with MinGW-w64 (Debian's POSIX-thread
# flavour); test programs run under Wine through cmake/wine-run.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORUKIV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ORUKIV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORUKIV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ORUKIV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORUKIV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Executables link the C++, GCC and winpthread runtimes statically too, so
# that neither they nor orukiv.dll need a MinGW DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Absolute path: the toolchain file is read again from inside the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
