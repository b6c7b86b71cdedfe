# Static build of the board program against musl (Debian musl-tools), for
# this machine's processor: one file that runs on any Linux of that processor.
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-musl.cmake -DVEXO_TESTS=OFF
#   cmake --build build-musl --target vexo
# musl has no C++ library of its own, and the program needs none: it is built
# without exceptions or RTTI and uses only the header-only parts of the C++
# library (std::array, <algorithm>, <bit>) over C library calls. So g++
# compiles it with musl's headers in place of the system's C headers, keeping
# the C++ library's headers, and musl-gcc links it with no C++ library at all:
# a C++ library symbol the program came to need fails the link instead of
# slipping in. Only the target vexo is meant to be built here.
execute_process(COMMAND g++ -dumpmachine OUTPUT_VARIABLE vexo_host OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE vexo_gcc OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND g++ -print-file-name=include OUTPUT_VARIABLE vexo_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX REPLACE "-linux-gnu$" "-linux-musl" vexo_musl "${vexo_host}")
set(vexo_musl_include /usr/include/${vexo_musl})
if(NOT EXISTS ${vexo_musl_include}/stdio.h)
  message(FATAL_ERROR "no musl headers in ${vexo_musl_include} (Debian package musl-tools)")
endif()

set(CMAKE_CXX_COMPILER g++)
# The C++ library's configuration asks for the glibc version; musl, like a
# current glibc, has everything in the C library itself.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc -isystem /usr/include/c++/${vexo_gcc} -isystem /usr/include/${vexo_host}/c++/${vexo_gcc} \
-isystem ${vexo_gcc_include} -isystem ${vexo_musl_include} '-D__GLIBC_PREREQ(a,b)=1'")
set(CMAKE_CXX_LINK_EXECUTABLE "musl-gcc -static <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
