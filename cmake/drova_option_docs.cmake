# drova's man page and its bash and zsh completion, written at build time by
# drova itself from its option definitions (drova --generate FORMAT), and
# installed where man, bash-completion and zsh look for them. Included from
# tools/. A cross build cannot run drova, so only native builds make them.
if(CMAKE_CROSSCOMPILING)
  return()
endif()
include(GNUInstallDirs)

# The tests read the files where the build writes them.
set(DROVA_DOCS_DIR ${CMAKE_CURRENT_BINARY_DIR} CACHE INTERNAL "where the build writes drova's man page and completion")
set(drova_docs "")
foreach(format_and_file man:drova.1 bash:drova.bash zsh:_drova)
  string(REPLACE ":" ";" format_and_file ${format_and_file})
  list(GET format_and_file 0 format)
  list(GET format_and_file 1 file)
  add_custom_command(OUTPUT ${DROVA_DOCS_DIR}/${file}
    COMMAND drova --generate ${format} > ${DROVA_DOCS_DIR}/${file}
    DEPENDS drova
    COMMENT "Writing drova's ${format} document"
    VERBATIM)
  list(APPEND drova_docs ${DROVA_DOCS_DIR}/${file})
endforeach()
add_custom_target(drova_option_docs ALL DEPENDS ${drova_docs})

install(FILES ${DROVA_DOCS_DIR}/drova.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${DROVA_DOCS_DIR}/drova.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME drova)
install(FILES ${DROVA_DOCS_DIR}/_drova DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/site-functions)
