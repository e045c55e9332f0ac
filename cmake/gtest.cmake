# GoogleTest targets GTest::gtest, GTest::gtest_main, GTest::gmock, GTest::gmock_main.
# Linux: Debian's libgtest-dev. Windows (cross): there is no prebuilt mingw GoogleTest in
# Debian, so compile the sources the `googletest` package ships in /usr/src/googletest
# with our own toolchain and flags (-static etc. apply to the test programs that link it).
# May be included from several directories.

if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  find_package(GTest REQUIRED)  # imported targets are per directory: find in each includer
  return()
endif()
if(TARGET GTest::gtest)  # built targets are global: add the sources once
  return()
endif()

set(PKG_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")
if(NOT EXISTS ${PKG_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${PKG_GOOGLETEST_SOURCE_DIR}: "
                      "run scripts/install-deps.sh windows (Debian package googletest)")
endif()

# A function so these settings stay local to the GoogleTest subtree.
function(_pkg_add_googletest)
  set(BUILD_SHARED_LIBS OFF)   # static: no gtest DLLs beside the .exe
  set(BUILD_GMOCK ON)
  set(INSTALL_GTEST OFF)       # nothing of it in `cmake --install`
  # The sources live outside our tree, so a binary dir must be named. EXCLUDE_FROM_ALL:
  # only built when a test program links it.
  add_subdirectory(${PKG_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main gmock gmock_main)
    # -w: its own -Wshadow/-Wconversion and our -Wall -Wextra stay silent for code we don't own.
    target_compile_options(${t} PRIVATE -w)
    # Consumers see its headers as system headers, so their warnings are not ours either.
    get_target_property(inc ${t} INTERFACE_INCLUDE_DIRECTORIES)
    set_target_properties(${t} PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${inc}")
  endforeach()
endfunction()
_pkg_add_googletest()
