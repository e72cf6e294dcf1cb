# The download for Windows users: `cpack` in a Windows build makes
# tamrel_ctl-<version>-win64.zip holding bin/tamrel_ctl.exe, the stand-in
# driver bin/tamrel_driver_sim.exe (when it is built) and README.md.
if(NOT WIN32)
  return()
endif()

# The programs come with their own install rules (bin/).
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TAMREL_PACKAGE_ARCH win64)
else()
  set(TAMREL_PACKAGE_ARCH win32)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tamrel_ctl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_FILE_NAME tamrel_ctl-${PROJECT_VERSION}-${TAMREL_PACKAGE_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
