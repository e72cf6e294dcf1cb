# How tamrel_ctl is linked on Linux (TAMREL_CTL_LINK: README.md, Builds).
# musl, static-pie, because nearly all of an exchange's time is the start of
# the process, and glibc's start-up probes the CPU, which costs dearly under
# virtualisation (bench/README.md). musl needs GCC for C and C++ on x86-64
# (clang ignores -specs) and Debian's musl-tools. An instrumented build
# (-fsanitize, --coverage, -fprofile-*, -pg in any flags) is linked
# dynamically: its runtimes are glibc's. The user's C, C++ and linker flags
# reach a musl tool: optimisation, debug information and hardening are safe,
# a -L, -I or -l to glibc's or the C++ library's files is not (the release
# tests then find glibc in the tool).
# TAMREL_CTL_LINK_CHOSEN, cached for the tests, is the link taken (on Windows
# `toolchain`: the MinGW-w64 toolchain file decides).
set(TAMREL_CTL_LINK auto CACHE STRING "How tamrel_ctl is linked on Linux: auto, musl, static or dynamic")
if(NOT TAMREL_CTL_LINK MATCHES "^(auto|musl|static|dynamic)$")
  message(FATAL_ERROR "TAMREL_CTL_LINK is auto, musl, static or dynamic, not '${TAMREL_CTL_LINK}'")
endif()
set(TAMREL_MUSL_SPECS /usr/lib/x86_64-linux-musl/musl-gcc.specs)

set(flags "")
foreach(config "" _DEBUG _RELEASE _RELWITHDEBINFO _MINSIZEREL)
  string(APPEND flags " ${CMAKE_C_FLAGS${config}} ${CMAKE_CXX_FLAGS${config}} ${CMAKE_EXE_LINKER_FLAGS${config}}")
endforeach()
set(TAMREL_INSTRUMENTED OFF)
set(no_musl "")
if(TAMREL_SANITIZE OR TAMREL_FUZZ OR flags MATCHES "-fsanitize=|--coverage|-fprofile-|(^| )-pg( |$)")
  set(TAMREL_INSTRUMENTED ON)
  set(no_musl "an instrumented build (-fsanitize, --coverage) is linked dynamically")
elseif(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(no_musl "musl is used on x86-64 only")
elseif(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR NOT CMAKE_C_COMPILER_ID STREQUAL "GNU")
  set(no_musl "musl needs GCC (clang ignores -specs and would build against glibc)")
elseif(NOT EXISTS ${TAMREL_MUSL_SPECS})
  set(no_musl "musl is not installed (apt-get install musl-tools musl-dev)")
endif()

set(link ${TAMREL_CTL_LINK})
if(WIN32)
  set(link toolchain)
elseif(link STREQUAL "musl" AND no_musl)
  message(FATAL_ERROR "TAMREL_CTL_LINK=musl: ${no_musl}")
elseif(TAMREL_INSTRUMENTED)
  set(link dynamic)
  message(STATUS "tamrel_ctl: instrumented, so linked dynamically")
elseif(link STREQUAL "auto" AND no_musl)
  set(link static)
  message(STATUS "tamrel_ctl: linked static-pie against the system's C library: ${no_musl}")
elseif(link STREQUAL "auto")
  set(link musl)
endif()
set(TAMREL_CTL_LINK_CHOSEN ${link} CACHE INTERNAL "How tamrel_ctl is linked: musl, static or dynamic")

# tamrel_link_musl(TARGET): compiled against musl's C headers and none of
# the C++ library's, linked static-pie by the C driver with musl's C library
# and libgcc alone: a stray `new` or <cstring> fails the build.
function(tamrel_link_musl target)
  set(specs -specs=${TAMREL_MUSL_SPECS} -specs=${PROJECT_SOURCE_DIR}/cmake/musl-static-pie.specs)
  target_compile_options(${target} PRIVATE ${specs} $<$<COMPILE_LANGUAGE:CXX>:-nostdinc++>)
  target_link_options(${target} PRIVATE ${specs})
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C POSITION_INDEPENDENT_CODE ON)
endfunction()

# tamrel_tool_library(LIBRARY SOURCE...): tool sources, named once: the
# archive LIBRARY, which the stand-in driver and the tests link, and
# LIBRARY_tool, which gives the same sources to the tool, to be compiled there
# for the link chosen above (glibc's objects would not link against musl).
function(tamrel_tool_library library)
  add_library(${library} STATIC ${ARGN})
  target_include_directories(${library} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${library} PRIVATE ${TAMREL_TOOL_FLAGS})
  add_library(${library}_tool INTERFACE)
  target_sources(${library}_tool INTERFACE ${ARGN})
endfunction()

# tamrel_add_tool(TARGET SOURCE...): the program TARGET, compiled with the
# tool's flags and linked as chosen above; it links the LIBRARY_tool of each
# library it uses.
function(tamrel_add_tool target)
  add_executable(${target} ${ARGN})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE ${TAMREL_TOOL_FLAGS})
  target_link_options(${target} PRIVATE ${TAMREL_TOOL_LINK_FLAGS})
  if(TAMREL_CTL_LINK_CHOSEN STREQUAL "musl")
    tamrel_link_musl(${target})
    # Else CMake adds the C++ library to a C link of C++ objects; the list
    # is read from the folder that defines the target.
    set(CMAKE_CXX_IMPLICIT_LINK_LIBRARIES "" PARENT_SCOPE)
  elseif(TAMREL_CTL_LINK_CHOSEN STREQUAL "static")
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_link_options(${target} PRIVATE -static-pie)
  endif()
endfunction()
