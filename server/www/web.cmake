# The page files in server/www, built into wayloom-server-core as one
# generated source (see embed.cmake) that is written again when they change.
file(GLOB web_files CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.html ${CMAKE_CURRENT_LIST_DIR}/*.js
  ${CMAKE_CURRENT_LIST_DIR}/*.css ${CMAKE_CURRENT_LIST_DIR}/*.ico)
set(web_files_source ${CMAKE_CURRENT_BINARY_DIR}/webfiles_embedded.cpp)
add_custom_command(OUTPUT ${web_files_source}
  COMMAND ${CMAKE_COMMAND} "-DFILES=${web_files}" -DOUTPUT=${web_files_source}
    -P ${CMAKE_CURRENT_LIST_DIR}/embed.cmake
  DEPENDS ${web_files} ${CMAKE_CURRENT_LIST_DIR}/embed.cmake
  COMMENT "Embedding the web page files"
  VERBATIM)
target_sources(wayloom-server-core PRIVATE ${web_files_source})
