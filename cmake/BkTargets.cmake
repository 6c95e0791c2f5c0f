# Build-wide settings and the helpers every folder uses to declare its targets.

# bk_probe_ia32(out): ON when this machine runs 32-bit code and has Wine's
# 32-bit loader, OFF (with the one line that says so) when the kernel runs no
# 32-bit code. A machine that runs 32-bit code without the loader is not set
# up: scripts/setup.sh installs it.
function(bk_probe_ia32 out)
  if(BK_BUILD_TESTS)
    execute_process(COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/probe-ia32.sh RESULT_VARIABLE runs)
  else()
    set(runs 1)
  endif()
  if(runs EQUAL 0)
    if(NOT EXISTS /usr/lib/wine/wine)
      message(FATAL_ERROR "this machine runs 32-bit code, but Wine's 32-bit loader /usr/lib/wine/wine "
                          "is missing: run scripts/setup.sh")
    endif()
    set(${out} ON PARENT_SCOPE)
  elseif(runs EQUAL 1)
    if(BK_BUILD_TESTS)
      message(STATUS "i686 tests skipped: this machine runs no 32-bit code")
    endif()
    set(${out} OFF PARENT_SCOPE)
  else()
    message(FATAL_ERROR "cmake/probe-ia32.sh could not build its 32-bit probe (binutils' as and ld)")
  endif()
endfunction()

if(WIN32)
  set(BK_WINDOWS ON)
  # Only the system DLLs (and what we link on purpose) may be imported.
  add_link_options(-static-libgcc -static-libstdc++ -static)
  # Windows XP (5.1) is the oldest system the client runs on: newer APIs are
  # looked up at run time instead of being imported.
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0501 WINVER=0x0501)
  # Tests run under Wine in a 64-bit prefix owned by the build tree: x86_64
  # programs with the 64-bit loader, i686 programs with the 32-bit one, as
  # 64-bit Windows runs 32-bit programs (WoW64). The 32-bit loader needs a
  # kernel that runs 32-bit code: where it does not, the i686 tests are built
  # but not registered, and configuring says so.
  set(BK_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(BK_WINE /usr/lib/wine/wine64)
    set(BK_RUN_TESTS ON)
  else()
    set(BK_WINE /usr/lib/wine/wine)
    bk_probe_ia32(BK_RUN_TESTS)
  endif()
  if(BK_RUN_TESTS)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        /usr/bin/env WINEPREFIX=${BK_WINE_PREFIX} WINEDEBUG=-all ${BK_WINE})
  endif()
else()
  set(BK_WINDOWS OFF)
  set(BK_RUN_TESTS ON)
  if(BK_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
  endif()
endif()

set(BK_WARNINGS -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion -Werror)

# bk_target_defaults(target): warnings as errors and the project include roots.
function(bk_target_defaults target)
  target_compile_options(${target} PRIVATE ${BK_WARNINGS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include)
endfunction()

# GoogleTest from the distribution's sources, built with this toolchain.
if(BK_BUILD_TESTS AND NOT TARGET GTest::gtest_main)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gmock ALIAS gmock)
  endif()
endif()

# Under Wine, all tests share one prefix whose wineserver is started by a
# fixture with every descriptor on /dev/null (otherwise ctest waits for the
# server's inherited pipes) and stopped at the end.
if(BK_WINDOWS AND BK_RUN_TESTS AND BK_BUILD_TESTS)
  enable_testing()
  set(_wine_session ${CMAKE_SOURCE_DIR}/cmake/wine-session.sh)
  add_test(NAME wine_start COMMAND ${_wine_session} start ${BK_WINE_PREFIX})
  add_test(NAME wine_stop COMMAND ${_wine_session} stop ${BK_WINE_PREFIX})
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endif()

# bk_add_test(name SOURCES ... [LIBS ...] [WINE_VERSION winxp] [SHARES_REGISTRY])
# A GoogleTest program registered with ctest; under Wine it runs in the build's
# prefix. SHARES_REGISTRY serialises programs that write the client's registry
# key. WINE_VERSION makes Wine report that Windows version to this program only.
function(bk_add_test name)
  cmake_parse_arguments(T "SHARES_REGISTRY" "WINE_VERSION" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  bk_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  if(NOT BK_RUN_TESTS)
    return()
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  if(BK_WINDOWS)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
    if(T_SHARES_REGISTRY)
      set_tests_properties(${name} PROPERTIES RESOURCE_LOCK client_registry)
    endif()
    if(T_WINE_VERSION)
      set_property(GLOBAL APPEND PROPERTY BK_WINE_APP_VERSIONS "${name}.exe=${T_WINE_VERSION}")
    endif()
  endif()
endfunction()

# Called once at the end of the top-level list: hands the per-program Windows
# versions to the fixture that prepares the prefix.
function(bk_finish_wine_tests)
  if(NOT (BK_WINDOWS AND BK_RUN_TESTS AND BK_BUILD_TESTS))
    return()
  endif()
  get_property(pairs GLOBAL PROPERTY BK_WINE_APP_VERSIONS)
  string(REPLACE ";" " " pairs "${pairs}")
  set_tests_properties(wine_start PROPERTIES ENVIRONMENT "BK_WINE_APP_VERSIONS=${pairs}")
endfunction()
