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

# Warnings for every target of ours (GoogleTest is built elsewhere), as
# errors when TAMREL_WERROR is on (every preset).
if(MSVC)
  set(warnings /W4 /WX)
else()
  set(warnings -Wall -Wextra -Werror)
endif()
if(NOT TAMREL_WERROR)
  list(POP_BACK warnings)
endif()
add_compile_options(${warnings})

# The tool's sources (README.md, Layout) and the archives made of them: no
# exceptions, no RTTI (the C++ runtime would otherwise allocate its exception
# pool at start-up).
function(tamrel_tool_flags target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /GR-)
  else()
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  endif()
endfunction()

# The version, from project() alone, for the programs' ident strings.
add_compile_definitions(TAMREL_VERSION="${PROJECT_VERSION}")

# Reproducible builds: the same sources give the same bytes, wherever they
# and the build folder are. No folder names in what is compiled, and no link
# time stamp in a Windows executable.
if(NOT MSVC)
  add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=" "-ffile-prefix-map=${PROJECT_BINARY_DIR}/=")
endif()
if(MINGW)
  # Stripped by the linker in an optimised build: strip(1) would stamp the
  # time of its own run into the executable.
  add_link_options(-Wl,--no-insert-timestamp $<$<CONFIG:Release,MinSizeRel>:-s>)
endif()
# The time that goes into archives and pages: SOURCE_DATE_EPOCH when it is
# set, else the release date of this version.
set(TAMREL_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
if(NOT TAMREL_SOURCE_DATE_EPOCH)
  set(TAMREL_SOURCE_DATE_EPOCH 1796688000) # 2026-12-08
endif()
