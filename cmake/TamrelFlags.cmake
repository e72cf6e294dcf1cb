# Compiler and linker flags, in one place. The builds of CMakePresets.json
# differ only in the options below and in the compiler and build type.

if(WIN32)
  # The Win32 headers without their rarely used parts, for every source.
  add_compile_definitions(WIN32_LEAN_AND_MEAN)
  # MSVC: the static runtime, so that an exe needs only Windows' own DLLs
  # (MinGW-w64 links statically through its toolchain file).
  set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
endif()

# Every object, test programs included: a report ends the process with a
# non-zero status.
if(TAMREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# libFuzzer's coverage instrumentation for every object, so that the fuzz
# targets see into the code they call; only they link libFuzzer itself.
if(TAMREL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TAMREL_FUZZ needs clang: libFuzzer is part of clang's runtime")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Warning flags for every target of ours; -Werror when TAMREL_WERROR is on (CI).
function(tamrel_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${TAMREL_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${TAMREL_WERROR}>:-Werror>)
  endif()
endfunction()

# The tool and its libraries: no exceptions, no RTTI, and nothing linked in
# that the code does not use (the C++ runtime would otherwise allocate its
# exception pool at start-up).
function(tamrel_tool_flags target)
  tamrel_set_warnings(${target})
  if(MSVC)
    target_compile_options(${target} PRIVATE /GR-)
  else()
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  endif()
endfunction()
