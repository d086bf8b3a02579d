# Cross-compiles the Windows build on Linux with MinGW-w64. The -posix compilers are the ones
# whose C++ library has std::thread; the default ones reject it. Test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VSERVER_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VSERVER_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VSERVER_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VSERVER_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VSERVER_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: no MinGW runtime DLLs to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(VSERVER_WINE wine)
if(VSERVER_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh)
endif()
