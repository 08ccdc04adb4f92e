# Cross-building the controller for 64-bit Windows with mingw-w64 on Linux.
#   cmake -S . -B build/windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Only the -posix compilers have std::thread and std::mutex in GCC 12.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Fully static executables need nothing but system DLLs; otherwise a missing
# libwinpthread-1.dll makes Wine fail silently with exit code 53.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# The header-only JSON library comes from the Linux system include folder,
# which must not be searched as a whole: its limits.h shadows mingw's. A
# folder of the build tree holds a link to the library's folder only.
set(AURVANE_HOST_HEADERS "${CMAKE_BINARY_DIR}/host-headers")
if(NOT CMAKE_PROJECT_NAME STREQUAL "CMAKE_TRY_COMPILE" AND NOT EXISTS "${AURVANE_HOST_HEADERS}/rapidjson")
  file(MAKE_DIRECTORY "${AURVANE_HOST_HEADERS}")
  file(CREATE_LINK /usr/include/rapidjson "${AURVANE_HOST_HEADERS}/rapidjson" SYMBOLIC)
endif()
set(CMAKE_CXX_FLAGS_INIT "-isystem ${AURVANE_HOST_HEADERS}")

# ctest runs the test executables under Wine, in a prefix of the build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix")
