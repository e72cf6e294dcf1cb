# What `cmake --install` lays out, and the Windows download.
#
# Linux (a Unix install):
#   bin/tamrel_ctl, bin/tamrel_driver_sim
#   share/man/man1/tamrel_ctl.1, tamrel_driver_sim.1
#   share/bash-completion/completions/tamrel_ctl, share/zsh/site-functions/_tamrel_ctl,
#   share/powershell/completions/tamrel_ctl.ps1 (PowerShell has no such folder of its own)
#   share/doc/tamrel_ctl/README.md and the man pages as text
# Windows (the zip that `cmake --build <build> --target package` makes, with
# SHA256SUMS beside it):
#   bin/tamrel_ctl.exe, bin/tamrel_driver_sim.exe, README.txt and the man
#   pages as text, with CRLF line ends; the pages begin with a line that sends
#   cmd and PowerShell users to README.txt; tamrel_ctl.ps1, PowerShell's
#   completion, as it is.
include(GNUInstallDirs)

# The man pages, with the version of project() and the date of the sources
# (TAMREL_SOURCE_DATE_EPOCH), e.g. "December 8, 2026"; and as plain text, for
# the doc folder and the zip, rendered by mandoc.
set(ENV{SOURCE_DATE_EPOCH} ${TAMREL_SOURCE_DATE_EPOCH}) # string(TIMESTAMP) reads it
string(TIMESTAMP TAMREL_MAN_DATE "%B %d, %Y" UTC)
string(REGEX REPLACE " 0([1-9]), " " \\1, " TAMREL_MAN_DATE "${TAMREL_MAN_DATE}") # 8, not 08
find_program(TAMREL_MANDOC mandoc)
if(NOT TAMREL_MANDOC AND WIN32) # rather than a zip without its two manuals
  message(FATAL_ERROR "The Windows zip needs mandoc for its two manuals: apt-get install mandoc")
elseif(NOT TAMREL_MANDOC)
  message(STATUS "mandoc not found: the man pages are not installed as text (apt-get install mandoc)")
endif()
set(text_pages "")
foreach(page tamrel_ctl.1 tamrel_driver_sim.1)
  configure_file(${PROJECT_SOURCE_DIR}/doc/${page}.in ${PROJECT_BINARY_DIR}/doc/${page} @ONLY)
  if(TAMREL_MANDOC)
    set(text ${PROJECT_BINARY_DIR}/doc/${page}.txt)
    add_custom_command(OUTPUT ${text}
      COMMAND ${CMAKE_COMMAND} -DMANDOC=${TAMREL_MANDOC} -DPAGE=${PROJECT_BINARY_DIR}/doc/${page} -DTEXT=${text}
              -DWINDOWS=${WIN32} -P ${PROJECT_SOURCE_DIR}/cmake/render_text.cmake
      DEPENDS ${PROJECT_BINARY_DIR}/doc/${page} ${PROJECT_SOURCE_DIR}/cmake/render_text.cmake
      COMMENT "Rendering ${page} as text")
    list(APPEND text_pages ${text})
  endif()
endforeach()
add_custom_target(text_pages ALL DEPENDS ${text_pages})
# What ships, without the test programs: `cmake --build BUILD --target programs`.
add_custom_target(programs DEPENDS tamrel_ctl tamrel_driver_sim text_pages)

if(NOT WIN32)
  install(FILES ${PROJECT_BINARY_DIR}/doc/tamrel_ctl.1 ${PROJECT_BINARY_DIR}/doc/tamrel_driver_sim.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/completion/tamrel_ctl.bash
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME tamrel_ctl)
  install(FILES ${PROJECT_SOURCE_DIR}/completion/_tamrel_ctl DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/zsh/site-functions)
  install(FILES ${PROJECT_SOURCE_DIR}/completion/tamrel_ctl.ps1 DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/powershell/completions)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${text_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  return()
endif()

# Windows: a README for Windows users, with the version filled in, in
# Windows' line ends; made again whenever the text changes.
configure_file(${PROJECT_SOURCE_DIR}/doc/README-windows.txt ${PROJECT_BINARY_DIR}/doc/README.txt @ONLY
               NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/doc/README.txt ${text_pages} ${PROJECT_SOURCE_DIR}/completion/tamrel_ctl.ps1
        DESTINATION .)

math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8") # win64, or win32 for a 32-bit build
set(TAMREL_PACKAGE_ZIP ${PROJECT_BINARY_DIR}/package/${PROJECT_NAME}-${PROJECT_VERSION}-win${bits}.zip)
add_custom_target(package
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR} -DZIP=${TAMREL_PACKAGE_ZIP}
          -DEPOCH=${TAMREL_SOURCE_DATE_EPOCH} -P ${PROJECT_SOURCE_DIR}/cmake/make_zip.cmake
  DEPENDS tamrel_ctl tamrel_driver_sim ${text_pages}
  COMMENT "Making ${TAMREL_PACKAGE_ZIP}")
