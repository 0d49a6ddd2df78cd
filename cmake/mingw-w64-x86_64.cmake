# Cross build for 64-bit Windows with MinGW-w64 (posix thread model, so that std::thread and
# std::mutex exist), statically linked so that the programs need no compiler DLLs at run time.
# Test programs run under Wine's 64-bit loader through cmake/wine-run.sh, with a Wine prefix of
# their own inside the build folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ID_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ID_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ID_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ID_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ID_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The 64-bit loader lives in Wine's library folder, not on the PATH.
find_program(ID_WINE_LOADER NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine /usr/lib/x86_64-linux-gnu/wine
             NO_CMAKE_FIND_ROOT_PATH)
if(ID_WINE_LOADER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix
      ${ID_WINE_LOADER})
endif()
