# How tamrel_ctl is linked on Linux. Nearly all of an exchange's time is the
# start of the process, and glibc's start-up probes the CPU, which costs
# dearly under virtualisation; musl's does not.
#
#   TAMREL_LIBC=auto    musl when its toolchain works here (checked at every
#                       configure, so installing musl-tools later is seen),
#                       else the system's C library
#   TAMREL_LIBC=musl    musl, or configuring stops saying why not
#   TAMREL_LIBC=system  the system's C library
#
# musl is always linked statically, as a static-pie executable; it needs GCC
# (clang ignores -specs and would build against glibc) on x86-64 Linux.
# TAMREL_STATIC says whether a tool on the system's C library is static-pie
# (ON) or dynamic (OFF); OFF asks for a dynamic tool, so it rules musl out.
# An instrumented build (TAMREL_SANITIZE, TAMREL_FUZZ, or -fsanitize in the
# flags) links the tool dynamically against the system's C library: its
# runtime cannot run in a static executable.
#
# Sets TAMREL_INSTRUMENTED, and TAMREL_CTL_LINK: musl (the tool comes from a tree of its own, see
# tamrel_add_musl_tool), static-pie or dynamic; also cached for the tests.
set(TAMREL_LIBC auto CACHE STRING "C library of tamrel_ctl on Linux: auto, musl or system")
set_property(CACHE TAMREL_LIBC PROPERTY STRINGS auto musl system)
if(NOT TAMREL_LIBC MATCHES "^(auto|musl|system)$")
  message(FATAL_ERROR "TAMREL_LIBC is auto, musl or system, not '${TAMREL_LIBC}'")
endif()

# Whether any flag of this build instruments the code.
function(tamrel_instrumented result)
  set(flags "${CMAKE_EXE_LINKER_FLAGS}")
  foreach(config "" _DEBUG _RELEASE _RELWITHDEBINFO _MINSIZEREL)
    string(APPEND flags " ${CMAKE_C_FLAGS${config}} ${CMAKE_CXX_FLAGS${config}} ${CMAKE_EXE_LINKER_FLAGS${config}}")
  endforeach()
  if(CMAKE_BUILD_TYPE)
    string(TOUPPER "${CMAKE_BUILD_TYPE}" config)
    string(APPEND flags " ${CMAKE_C_FLAGS_${config}} ${CMAKE_CXX_FLAGS_${config}} ${CMAKE_EXE_LINKER_FLAGS_${config}}")
  endif()
  if(TAMREL_SANITIZE OR TAMREL_FUZZ OR flags MATCHES "-fsanitize=")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Compiles, links and runs a small C++ program as the musl tree would.
function(tamrel_musl_works result)
  include(${PROJECT_SOURCE_DIR}/cmake/toolchain-musl.cmake)
  set(dir ${PROJECT_BINARY_DIR}/CMakeFiles/musl-probe)
  file(WRITE ${dir}/probe.cpp "#include <string.h>\nint main(int argc, char** argv) { return argc < 1 || strlen(argv[0]) == 0; }\n")
  separate_arguments(command UNIX_COMMAND
    "${CMAKE_CXX_FLAGS} ${CMAKE_EXE_LINKER_FLAGS} -fPIE probe.cpp -o probe ${CMAKE_CXX_STANDARD_LIBRARIES}")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${command} WORKING_DIRECTORY ${dir} RESULT_VARIABLE built
                  OUTPUT_QUIET ERROR_QUIET)
  set(ran 1)
  if(built EQUAL 0)
    execute_process(COMMAND ${dir}/probe RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(ran EQUAL 0)
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

tamrel_instrumented(TAMREL_INSTRUMENTED)
# Why the tool cannot be linked against musl here, if it cannot.
set(no_musl "")
if(TAMREL_INSTRUMENTED)
  set(no_musl "an instrumented build (-fsanitize) cannot link statically")
elseif(NOT TAMREL_STATIC)
  set(no_musl "TAMREL_STATIC=OFF asks for a dynamically linked tool")
elseif(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(no_musl "musl is used on x86-64 Linux only")
elseif(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(no_musl "musl needs GCC (clang ignores -specs and would build against glibc)")
elseif(NOT TAMREL_LIBC STREQUAL "system" AND NOT TAMREL_MUSL_TREE)
  tamrel_musl_works(musl_works)
  if(NOT musl_works)
    set(no_musl "musl's toolchain does not work here (apt-get install musl-tools musl-dev)")
  endif()
endif()

if(TAMREL_MUSL_TREE OR WIN32)
  set(TAMREL_CTL_LINK toolchain) # the toolchain file decides
elseif(TAMREL_LIBC STREQUAL "musl" AND no_musl)
  message(FATAL_ERROR "TAMREL_LIBC=musl: ${no_musl}")
elseif(TAMREL_LIBC STREQUAL "auto" AND NOT no_musl OR TAMREL_LIBC STREQUAL "musl")
  set(TAMREL_CTL_LINK musl)
  message(STATUS "tamrel_ctl: static-pie, against musl")
elseif(TAMREL_INSTRUMENTED)
  set(TAMREL_CTL_LINK dynamic)
  message(STATUS "tamrel_ctl: instrumented, so linked dynamically against the system's C library")
elseif(TAMREL_STATIC AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(TAMREL_CTL_LINK static-pie)
  if(TAMREL_LIBC STREQUAL "auto")
    message(STATUS "tamrel_ctl: static-pie, against the system's C library: ${no_musl}")
  else()
    message(STATUS "tamrel_ctl: static-pie, against the system's C library")
  endif()
else()
  set(TAMREL_CTL_LINK dynamic)
  message(STATUS "tamrel_ctl: linked dynamically against the system's C library")
endif()
set(TAMREL_CTL_LINK_CHOSEN ${TAMREL_CTL_LINK} CACHE INTERNAL "How tamrel_ctl is linked: musl, static-pie or dynamic")

# tamrel_add_musl_tool(): the target tamrel_ctl, built by a tree of its own
# with cmake/toolchain-musl.cmake and imported here, so that tests and
# install use it as any other target. It lands in this folder, as the
# tool of any other build does.
function(tamrel_add_musl_tool)
  include(ExternalProject)
  set(tool ${CMAKE_CURRENT_BINARY_DIR}/tamrel_ctl${CMAKE_EXECUTABLE_SUFFIX})
  ExternalProject_Add(tamrel_ctl_musl
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${PROJECT_BINARY_DIR}/musl
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-musl.cmake
      -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DTAMREL_WERROR=${TAMREL_WERROR}
      -DTAMREL_CTL_OUTPUT_DIRECTORY=${CMAKE_CURRENT_BINARY_DIR}
    INSTALL_COMMAND ""
    BUILD_ALWAYS TRUE
    BUILD_BYPRODUCTS ${tool})
  # The benchmarks' musl client, on request (target tamrel_ctl_musl-bench).
  ExternalProject_Add_Step(tamrel_ctl_musl bench DEPENDEES build EXCLUDE_FROM_MAIN TRUE ALWAYS TRUE
    COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target minimal_client_musl)
  ExternalProject_Add_StepTargets(tamrel_ctl_musl bench)
  add_executable(tamrel_ctl IMPORTED GLOBAL)
  set_target_properties(tamrel_ctl PROPERTIES IMPORTED_LOCATION ${tool})
  add_dependencies(tamrel_ctl tamrel_ctl_musl)
endfunction()
