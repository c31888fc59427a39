# The Windows build's tests, run under Wine: the suites that need nothing of
# Linux, built with GoogleTest compiled from Debian's sources by the same
# toolchain, and the end-to-end test of the .exe (tests/wine/).
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# Each suite is one test: a Wine start per test case would cost seconds each.
set(windows_suites
  allocation checksum cycle fixtime framing mainwindow mainwindow_threads nmea nmea_alloc nmea_threads protocol queue
  statuslog trigger window_threads)
# And the suites of the Windows realisation alone, tests/wine/NAME_test.cpp.
file(GLOB windows_only_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/wine/*_test.cpp)
foreach(source IN LISTS windows_only_sources)
  get_filename_component(name ${source} NAME_WE)
  string(REGEX REPLACE "_test$" "" name ${name})
  list(APPEND windows_suites wine/${name})
endforeach()
foreach(suite IN LISTS windows_suites)
  get_filename_component(name ${suite}_test NAME)
  add_executable(${name} ${CMAKE_CURRENT_SOURCE_DIR}/${suite}_test.cpp)
  target_compile_options(${name} PRIVATE ${wayloom_warnings})
  # Wine shows the Linux file system as drive Z:.
  target_compile_definitions(${name} PRIVATE
    WAYLOOM_BINARY_DIR="Z:${CMAKE_BINARY_DIR}"
    WAYLOOM_TEST_DATA="Z:${CMAKE_CURRENT_SOURCE_DIR}/data")
  target_link_libraries(${name} PRIVATE wayloom gtest gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS wine)
endforeach()

# One report exchange with a given settings file, for the https tests.
add_executable(report_once ${CMAKE_CURRENT_SOURCE_DIR}/wine/report_once.cpp)
target_compile_options(report_once PRIVATE ${wayloom_warnings})
target_link_libraries(report_once PRIVATE wayloom)
# Who may read a file, for the installer's test.
add_executable(show_dacl ${CMAKE_CURRENT_SOURCE_DIR}/wine/show_dacl.cpp)
target_compile_options(show_dacl PRIVATE ${wayloom_warnings} -municode)
target_link_options(show_dacl PRIVATE -municode)

# The end-to-end test: the .exe in its window under Xvfb, read from outside by
# read_window.exe, with the simulator and report server of a Linux build.
add_executable(read_window ${CMAKE_CURRENT_SOURCE_DIR}/wine/read_window.cpp)
target_compile_options(read_window PRIVATE ${wayloom_warnings})
set(WAYLOOM_LINUX_BINARY_DIR "${PROJECT_SOURCE_DIR}/build/default" CACHE PATH
  "A Linux build whose wayloom-gpssim and wayloom-receiver the end-to-end test under Wine uses")
add_test(NAME wine_window COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/window_test.sh)
# https, the console program, the installer and the service (tests/wine/system_test.sh).
add_test(NAME wine_system COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/system_test.sh)
set_tests_properties(wine_window wine_system PROPERTIES
  LABELS wine-e2e
  RUN_SERIAL TRUE
  TIMEOUT 300
  ENVIRONMENT "WAYLOOM_BINARY_DIR=${CMAKE_BINARY_DIR};WAYLOOM_LINUX_BINARY_DIR=${WAYLOOM_LINUX_BINARY_DIR}")
