# Cross build of the Win32 console program with MinGW-w64 (x86_64, posix threads).
# Programs built here run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Wine runs the test programs with a prefix of its own inside the build tree.
find_program(WINE64 wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH REQUIRED)
get_filename_component(_wine_dir "${WINE64}" DIRECTORY)
find_program(WINESERVER wineserver PATHS "${_wine_dir}" /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(TAIL_WINE_RUN "${CMAKE_BINARY_DIR}/wine-run")
configure_file("${CMAKE_CURRENT_LIST_DIR}/wine-run.in" "${TAIL_WINE_RUN}" @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${TAIL_WINE_RUN}")
