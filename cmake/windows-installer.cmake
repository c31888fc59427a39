# The Windows installer, wayloom-setup-VERSION.exe, made by NSIS's makensis
# from installer/wayloom.nsi with both programs of this build.
find_program(MAKENSIS_EXECUTABLE makensis REQUIRED)
set(wayloom_installer ${CMAKE_BINARY_DIR}/wayloom-setup-${PROJECT_VERSION}.exe)
add_custom_command(OUTPUT ${wayloom_installer}
  COMMAND ${MAKENSIS_EXECUTABLE} -V2 -DVERSION=${PROJECT_VERSION}
    -DPROGRAM=$<TARGET_FILE:wayloom-program> -DHEADLESS=$<TARGET_FILE:wayloom-headless>
    -DOUTFILE=${wayloom_installer} ${PROJECT_SOURCE_DIR}/installer/wayloom.nsi
  DEPENDS ${PROJECT_SOURCE_DIR}/installer/wayloom.nsi wayloom-program wayloom-headless
  COMMENT "Installer wayloom-setup-${PROJECT_VERSION}.exe"
  VERBATIM)
add_custom_target(installer ALL DEPENDS ${wayloom_installer})
