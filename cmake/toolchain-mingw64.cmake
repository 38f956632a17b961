# Cross build for Windows x86-64 with Debian's mingw-w64, tests run under Wine.
# The -posix compilers: GoogleTest needs std::mutex, which the win32 thread model lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PORTNET_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PORTNET_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PORTNET_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PORTNET_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PORTNET_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The GCC runtime, libstdc++ and winpthread are linked in statically, so a program needs no
# DLL beside it other than portnet.dll and Windows' own.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

# ctest and GoogleTest's discovery run the programs through Wine (wine-run.sh says why not
# directly), with Wine's own messages off.
find_program(PORTNET_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
