# Cross-compiling for 32-bit Windows with clang on the mingw-w64 headers, libraries and linker.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(triple i686-w64-windows-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Debian names the GCC folder "12-posix", which clang's driver does not look for: name its C++
# library and runtime here, and link with the mingw-w64 linker.
file(GLOB gcc_dirs /usr/lib/gcc/i686-w64-mingw32/*-posix)
list(GET gcc_dirs 0 gcc_dir)
set(cxx_includes "-nostdinc++ -isystem ${gcc_dir}/include/c++")
string(APPEND cxx_includes " -isystem ${gcc_dir}/include/c++/i686-w64-mingw32")
string(APPEND cxx_includes " -isystem ${gcc_dir}/include/c++/backward")
set(CMAKE_CXX_FLAGS_INIT "${cxx_includes} -Wno-unused-command-line-argument")
# libgcc_eh, which the driver names last, needs winpthreads: programs that use the whole C++
# runtime (the tests) ask the driver for it, which names it in the group of runtime libraries, so
# that only the parts used come in (taken in whole, its own version resource came in beside the
# program's: "duplicate leaf"). The lean shipped programs need neither. Linked so, the GNU linker
# warns of each type name that both clang's objects and the GCC-built libstdc++ carry ("duplicate
# section ... has different size"; one copy is kept, and the names are equal): these programs'
# links do not fail on the linker's warnings, every other link does.
set(link_flags "-B/usr/bin/i686-w64-mingw32- -L${gcc_dir}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link_flags}")
set(PLOVANE_FULL_RUNTIME_LINK -pthread -Wl,--no-fatal-warnings)
