# Warnings for every target of ours; errors when KORVAN_WERROR is on (CI).
add_library(korvan_warnings INTERFACE)
target_compile_options(korvan_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-qual
  -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations)
if(KORVAN_WERROR)
  target_compile_options(korvan_warnings INTERFACE -Werror)
endif()
# GCC 12 reports false -Wrestrict overlaps inside std::string concatenation at
# -O2 and above (GCC bug 105329); the warning says nothing about our code there.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(korvan_warnings INTERFACE -Wno-restrict)
endif()
# clang checks every annotated mutex (common/mutex.h): guarded data touched
# without its lock, functions called without the lock they need.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(korvan_warnings INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-Wthread-safety>)
endif()
