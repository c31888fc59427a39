# Where an installed Wayloom lives, and its manual pages. The reporter reads
# settings.ini beside its executable, so it gets a folder of its own; the
# tools go to bin, the report server to sbin. Links (bin/wayloom, the
# settings file) belong to the packaging, which knows where /etc is.
include(GNUInstallDirs)
set(WAYLOOM_PROGRAM_DIR "lib/wayloom" CACHE STRING
  "Folder of the reporter and its settings.ini, relative to the prefix")

if(TARGET wayloom-program)
  install(TARGETS wayloom-program RUNTIME DESTINATION ${WAYLOOM_PROGRAM_DIR})
endif()
# The tools: those a user of the reporter needs, and the load generator that
# measures a report server (packaged with the server).
foreach(tool IN ITEMS nmea gpssim receiver loadgen)
  if(TARGET wayloom-${tool})
    install(TARGETS wayloom-${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET wayloom-server)
  install(TARGETS wayloom-server RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
endif()

# Manual pages: docs/man/NAME.SECTION.scd becomes NAME.SECTION, for the
# programs this build makes.
find_program(SCDOC_EXECUTABLE scdoc)
if(SCDOC_EXECUTABLE)
  set(wayloom_manpages_default ON)
else()
  set(wayloom_manpages_default OFF)
endif()
option(WAYLOOM_MANPAGES "Build and install the manual pages (needs scdoc)" ${wayloom_manpages_default})
if(WAYLOOM_MANPAGES)
  if(NOT SCDOC_EXECUTABLE)
    message(FATAL_ERROR "WAYLOOM_MANPAGES needs scdoc")
  endif()
  file(GLOB manpage_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.scd)
  set(manpages)
  foreach(source IN LISTS manpage_sources)
    get_filename_component(page ${source} NAME_WLE)
    string(REGEX REPLACE "\\.[0-9]$" "" program ${page})
    string(REGEX REPLACE "^.*\\." "" section ${page})
    if(program STREQUAL "wayloom")
      set(program wayloom-program)
    endif()
    if(NOT TARGET ${program})
      continue()
    endif()
    set(output ${CMAKE_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${SCDOC_EXECUTABLE} ${source} ${output}
      DEPENDS ${source}
      COMMENT "Manual page ${page}"
      VERBATIM)
    list(APPEND manpages ${output})
    install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(manpages ALL DEPENDS ${manpages})
endif()
