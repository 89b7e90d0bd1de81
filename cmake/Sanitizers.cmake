# Sanitizers apply to the whole build, libraries and tests alike.
if(KORVAN_SANITIZE AND KORVAN_TSAN)
  message(FATAL_ERROR "KORVAN_SANITIZE and KORVAN_TSAN cannot be combined")
endif()
if(KORVAN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # The instrumentation makes GCC see "uninitialized" members inside the
  # standard library (std::function in <regex>); those reports are false.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()
if(KORVAN_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(KORVAN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KORVAN_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  # Coverage instrumentation for every library the fuzz targets reach.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
