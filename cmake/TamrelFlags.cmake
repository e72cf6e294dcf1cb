# Compiler and linker flags, in one place. The builds of CMakePresets.json
# differ only in the options below and in the compiler and build type.

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

# Warnings for every target of ours (GoogleTest is built elsewhere), errors
# under CMAKE_COMPILE_WARNING_AS_ERROR (every preset). TAMREL_TOOL_FLAGS, for
# the tool's sources (README.md, Layout): no exceptions, no RTTI, and
# TAMREL_TOOL_LINK_FLAGS: nothing linked in that the code does not use (the C++
# runtime would otherwise allocate its exception pool at start-up).
if(MSVC)
  add_compile_options(/W4)
  set(TAMREL_TOOL_FLAGS /GR-)
  # The static runtime, so that an exe needs only Windows' own DLLs (MinGW-w64
  # links statically through its toolchain file).
  set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
else()
  # No folder names in what is compiled (reproducible builds, below).
  add_compile_options(-Wall -Wextra "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=" "-ffile-prefix-map=${PROJECT_BINARY_DIR}/=")
  set(TAMREL_TOOL_FLAGS -fno-exceptions -fno-rtti)
  set(TAMREL_TOOL_LINK_FLAGS -Wl,--as-needed)
endif()
if(WIN32)
  add_compile_definitions(WIN32_LEAN_AND_MEAN) # the Win32 headers without their rarely used parts
endif()

# The version, from project() alone, for the programs' ident strings.
add_compile_definitions(TAMREL_VERSION="${PROJECT_VERSION}")

# Reproducible builds: the same sources give the same bytes, wherever they
# and the build folder are. No link time stamp in a Windows executable.
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
