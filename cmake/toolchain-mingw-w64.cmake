# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
# The compiler with POSIX threads, the -posix variant: the stand-in driver
# (std::mutex in driver/request_log.cpp), the misbehaving test clients and the
# Windows benchmark use std::mutex or std::thread, which GCC's win32 thread
# model lacks. The plain name is taken only when it can build them.
find_program(CMAKE_CXX_COMPILER NAMES ${TOOLCHAIN_PREFIX}-g++-posix ${TOOLCHAIN_PREFIX}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${TOOLCHAIN_PREFIX}-gcc-posix ${TOOLCHAIN_PREFIX}-gcc REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TOOLCHAIN_PREFIX}-windres REQUIRED)
execute_process(COMMAND printf "std::mutex m; std::thread t;"
                COMMAND ${CMAKE_CXX_COMPILER} -std=c++17 -fsyntax-only -include mutex -include thread -x c++ -
                RESULT_VARIABLE no_threads OUTPUT_QUIET ERROR_QUIET)
if(no_threads)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} has no std::mutex or std::thread (the win32 thread model), which "
                      "the stand-in driver needs: apt-get install g++-mingw-w64-x86-64-posix")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every program links libgcc, libstdc++ and winpthread statically, so that a
# copied exe needs nothing beyond the DLLs of Windows itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
