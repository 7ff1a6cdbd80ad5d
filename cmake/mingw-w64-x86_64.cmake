# Cross-compiles ZUNO for 64-bit Windows with Debian's mingw-w64 (posix threads).
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZUNO_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${ZUNO_MINGW_PREFIX}-gcc-posix ${ZUNO_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZUNO_MINGW_PREFIX}-g++-posix ${ZUNO_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZUNO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZUNO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: no mingw runtime DLLs to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Windows programs of the build (ctest's tests) run under Wine, in the build's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
