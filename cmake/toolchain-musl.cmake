# The tool's musl tree: tamrel_ctl linked statically against musl (Debian's
# musl-tools and musl-dev), a static-pie executable, so that it starts
# without glibc's CPU probing. cmake/TamrelLibc.cmake configures a tree of
# cli/, control/ and platform/ alone with this file, and checks with it
# whether musl works here at all.
#
# g++ compiles the C++ sources against musl's C headers and none of the C++
# library's (-nostdinc++), and links them with musl's C library and libgcc
# alone (-nodefaultlibs). No C++ library is on the link line, so a stray
# `new` or <cstring> fails the build.
#
# Debian's specs file points gcc at musl's headers and libraries; the one
# beside this file makes the link static-pie: musl's rcrt1.o relocates the
# executable itself, so it keeps address space layout randomisation.
set(TAMREL_MUSL_TREE ON)
set(TAMREL_MUSL_FLAGS
    "-specs=/usr/lib/x86_64-linux-musl/musl-gcc.specs -specs=${CMAKE_CURRENT_LIST_DIR}/musl-static-pie.specs")

# Set outright rather than through the _INIT variables: nothing of the
# environment's CFLAGS, CXXFLAGS or LDFLAGS, nor of a user's cache, gets in.
set(CMAKE_C_FLAGS "${TAMREL_MUSL_FLAGS}")
set(CMAKE_CXX_FLAGS "${TAMREL_MUSL_FLAGS} -nostdinc++")
set(CMAKE_EXE_LINKER_FLAGS "-nodefaultlibs")
set(CMAKE_C_STANDARD_LIBRARIES "-lc -lgcc")
set(CMAKE_CXX_STANDARD_LIBRARIES "-lc -lgcc")
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
