# SANITIZE=ON: AddressSanitizer and UndefinedBehaviorSanitizer on everything
# the project compiles. Every report aborts the process, so a test that hits
# one fails instead of printing and carrying on.
option(SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(SANITIZE)
  set(SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${SANITIZER_FLAGS})
  add_link_options(-fsanitize=address,undefined)
endif()
