# Warnings for every target of ours; errors when KORVAN_WERROR is on (CI).
add_library(korvan_warnings INTERFACE)
target_compile_options(korvan_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-qual
  -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations)
if(KORVAN_WERROR)
  target_compile_options(korvan_warnings INTERFACE -Werror)
endif()
