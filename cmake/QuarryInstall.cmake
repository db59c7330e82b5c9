# quarry_add_man_page(PAGE) builds PAGE (e.g. quarry-cli.1) from PAGE.scd beside the calling
# CMakeLists.txt with scdoc, compressed as Debian installs man pages, and installs it. Without
# scdoc the page is left out, with a note.
find_program(QUARRY_SCDOC scdoc)
if(NOT QUARRY_SCDOC)
  message(STATUS "scdoc not found: the man pages are not built")
endif()

function(quarry_add_man_page page)
  if(NOT QUARRY_SCDOC)
    return()
  endif()
  string(REGEX REPLACE ".*\\.([1-9])$" "\\1" section ${page})
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/${page}.scd)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${QUARRY_SCDOC} ${source}
            ${CMAKE_CURRENT_BINARY_DIR}/${page}
    COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/${page}
    DEPENDS ${source}
    COMMENT "Man page ${page}"
    VERBATIM)
  add_custom_target(man_${page} ALL DEPENDS ${output})
  install(FILES ${output} DESTINATION share/man/man${section})
endfunction()
