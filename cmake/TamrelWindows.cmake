# tamrel_windows_resources(TARGET DESCRIPTION): on Windows, makes TARGET a
# Windows program that carries its application manifest as resource
# RT_MANIFEST 1 (execution level asInvoker without uiAccess: it never asks
# for elevation; Windows 10 and 11) and its version information, from
# project(). Elsewhere it does nothing.
function(tamrel_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/app.manifest.in ${manifest} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/app.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc APPEND PROPERTY OBJECT_DEPENDS ${manifest})
  # A console program, as both linkers make a program with main(). The
  # manifest comes from the resource script: MSVC's linker must not add its own.
  if(MSVC)
    target_link_options(${target} PRIVATE /MANIFEST:NO)
  endif()
endfunction()
