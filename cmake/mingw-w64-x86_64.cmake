# Cross-compile real 64-bit Windows programs on Debian with mingw-w64, run them under Wine.
#   cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
# The -posix compilers use the winpthreads thread model; the -win32 ones (Debian's
# default alternative) lack std::thread, std::mutex and std::condition_variable.
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_AR ${_triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_triple}-ranlib CACHE FILEPATH "")

# Headers and libraries (zlib from libz-mingw-w64-dev) come from the mingw sysroot only;
# programs (cmake helpers, python, ...) still come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The sysroot has both libz.a and libz.dll.a (import library for zlib1.dll), and FindZLIB
# would take the DLL one: ask for the static one so the .exe needs no zlib1.dll beside it.
set(ZLIB_USE_STATIC_LIBS ON)

# ctest, add_custom_command and try_run run target programs through Wine.
get_filename_component(_pkg_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_pkg_root}/scripts/wine-run)
