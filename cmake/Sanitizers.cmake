# Sanitizers apply to the whole build, libraries and tests alike.
if(KORVAN_SANITIZE AND KORVAN_TSAN)
  message(FATAL_ERROR "KORVAN_SANITIZE and KORVAN_TSAN cannot be combined")
endif()
if(KORVAN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KORVAN_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
