# tamrel_windows_resources(TARGET DESCRIPTION): on Windows, makes TARGET a
# Windows program that carries its application manifest as resource
# RT_MANIFEST 1 (execution level asInvoker without uiAccess: it never asks
# for elevation; Windows 10 and 11) and its version information, from
# project(). Elsewhere it does nothing.
function(tamrel_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  set(TAMREL_EXE_NAME ${target})
  set(TAMREL_EXE_DESCRIPTION "${description}")
  set(TAMREL_MANIFEST_PATH ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/app.manifest.in ${TAMREL_MANIFEST_PATH} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/app.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc APPEND PROPERTY OBJECT_DEPENDS ${TAMREL_MANIFEST_PATH})
  if(MSVC)
    # The manifest comes from the resource script; the linker must not add its own.
    target_link_options(${target} PRIVATE /SUBSYSTEM:CONSOLE /MANIFEST:NO)
  else()
    target_link_options(${target} PRIVATE -mconsole)
  endif()
endfunction()
