# SANITIZE=ON: AddressSanitizer and UndefinedBehaviorSanitizer on everything
# the project compiles. Every report aborts the process, so a test that hits
# one fails instead of printing and carrying on.
option(SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(SANITIZE)
  set(SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${SANITIZER_FLAGS})
  # The instrumentation hides initialisations from GCC's flow analysis (it
  # flags std::regex and std::function internals); the plain build keeps
  # the warning.
  add_compile_options($<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
  add_link_options(-fsanitize=address,undefined)
endif()
