# The system's own dialogs (src/pal/win32/dialog.cpp) hand their calls to
# the portable dialog manager whenever a front end draws the dialogs; built
# for Windows, its calls take the names that dialog_emulated.h gives them.
set_source_files_properties(src/pal/common/dialog.cpp PROPERTIES
  COMPILE_OPTIONS "-include;${CMAKE_SOURCE_DIR}/src/pal/win32/dialog_emulated.h")
# The same for the portable profile engine, whose calls src/pal/win32/profile.cpp
# makes where the system's profile functions would change what Linux writes.
set_source_files_properties(src/pal/common/profile.cpp PROPERTIES
  COMPILE_OPTIONS "-include;${CMAKE_SOURCE_DIR}/src/pal/win32/profile_own.h")
target_link_libraries(velmora_core PUBLIC comctl32 ole32 user32 gdi32)

# The Windows build's tests: the unit suite, cross-built with GoogleTest
# from Debian's source package, run under Wine by tools/test.sh.
if(NOT VELMORA_TESTS)
  return()
endif()
set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian's googletest package)")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Test files that are built for Linux only, and why:
set(VELMORA_POSIX_ONLY_TESTS
  # the entry makes network and mount namespaces (tests/win/main.cpp stands in)
  main.cpp
  # runs the program with fork and exec, makes tmpfs disks, socketpair
  helpers_posix.cpp
  # start the program as a child process (fork, signals, waitpid)
  config_test.cpp discovery_test.cpp http_e2e_test.cpp import_e2e_test.cpp
  live_e2e_test.cpp program_test.cpp roku_tree_test.cpp safety_e2e_test.cpp
  # full disks on tmpfs, file modes, descriptors
  iphoto_import_test.cpp itunes_import_test.cpp profile_test.cpp
  # POSIX sockets of their own, or socketpair
  http_units_test.cpp socket_test.cpp
  # its race test drives channels through the channel stand-in, a Linux tool
  options_test.cpp)
file(GLOB VELMORA_TEST_SOURCES CONFIGURE_DEPENDS tests/*.cpp)
foreach(name ${VELMORA_POSIX_ONLY_TESTS})
  list(REMOVE_ITEM VELMORA_TEST_SOURCES ${CMAKE_SOURCE_DIR}/tests/${name})
endforeach()
add_executable(velmora_tests ${VELMORA_TEST_SOURCES} tests/win/main.cpp tests/win/profile_test.cpp)
target_include_directories(velmora_tests PRIVATE tests)
target_link_libraries(velmora_tests PRIVATE velmora_core gtest)
target_compile_definitions(velmora_tests PRIVATE
  VELMORA_BIN="velmora.exe"
  VELMORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(velmora_tests velmora)

# The real dialogs' driver: another program that clicks and types into
# velmora.exe's windows (tests/win/dialogs.sh runs it under Wine).
add_executable(velmora_dialogs tests/win/dialogs.cpp)
target_link_libraries(velmora_dialogs PRIVATE user32)
add_dependencies(velmora_dialogs velmora)

# The stand-in for VLC that tests/win/e2e.sh installs where Windows VLC goes.
add_executable(velmora_vlc_standin tests/win/vlc.cpp)
set_target_properties(velmora_vlc_standin PROPERTIES OUTPUT_NAME vlc)
