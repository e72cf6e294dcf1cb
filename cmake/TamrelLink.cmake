# How tamrel_ctl is linked on Linux. Nearly all of an exchange's time is the
# start of the process, and glibc's start-up probes the CPU, which costs
# dearly under virtualisation; musl's does not.
#
#   TAMREL_CTL_LINK=auto     musl where it can be used here, else static, and
#                            one configure line says why not musl
#   TAMREL_CTL_LINK=musl     musl, or configuring stops saying why not
#   TAMREL_CTL_LINK=static   static-pie, against the system's C library
#   TAMREL_CTL_LINK=dynamic  against the system's C library, dynamically
#
# musl is linked static-pie (musl's rcrt1.o relocates the executable, so it
# keeps address space layout randomisation). It needs GCC on x86-64 (clang
# ignores -specs and would build against glibc), C and C++ alike, and
# Debian's musl-tools. An instrumented build (TAMREL_SANITIZE, TAMREL_FUZZ,
# or -fsanitize, --coverage, -fprofile-* or -pg in any flags) is linked
# dynamically whatever the option says: the instrumentation's runtimes are
# built for glibc, and the sanitizers' cannot run in a static executable.
#
# The flags that reach a musl tool are the user's compile flags
# (CMAKE_CXX_FLAGS[_<CONFIG>], from CXXFLAGS) and, since the C driver links
# it, CMAKE_C_FLAGS[_<CONFIG>] (CFLAGS) and CMAKE_EXE_LINKER_FLAGS
# (LDFLAGS). Optimisation, warnings, debug information and hardening
# (-fstack-protector*, -D_FORTIFY_SOURCE, -flto, -z relro/now) are safe:
# musl provides what they call, and headers of its own are the only ones
# searched. A flag that names glibc's or the C++ library's files (-L or
# -I to their folders, -lstdc++) is not: the release tests then find
# glibc in the tool.
#
# The choice is cached as TAMREL_CTL_LINK_CHOSEN (musl, static or dynamic;
# on Windows `toolchain`: the MinGW-w64 toolchain file decides) for the tests.
set(TAMREL_CTL_LINK auto CACHE STRING "How tamrel_ctl is linked on Linux: auto, musl, static or dynamic")
set_property(CACHE TAMREL_CTL_LINK PROPERTY STRINGS auto musl static dynamic)
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

# tamrel_add_tool(TARGET SOURCE... LIBRARY...): the program TARGET of its
# SOURCEs and its own copy of the LIBRARYs' sources, all compiled with the
# tool's flags for the link chosen above.
function(tamrel_add_tool target)
  add_executable(${target})
  foreach(item IN LISTS ARGN)
    if(TARGET ${item})
      get_target_property(dir ${item} SOURCE_DIR)
      get_target_property(sources ${item} SOURCES)
      if(sources) # none in the system's own, on Windows
        list(TRANSFORM sources PREPEND ${dir}/)
        target_sources(${target} PRIVATE ${sources})
      endif()
    else()
      target_sources(${target} PRIVATE ${item})
    endif()
  endforeach()
  tamrel_tool_flags(${target})
  if(NOT MSVC)
    target_link_options(${target} PRIVATE -Wl,--as-needed)
  endif()
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
