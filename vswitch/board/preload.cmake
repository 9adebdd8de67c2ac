# vswitch_board_preload(<var>): the LD_PRELOAD setting ("LD_PRELOAD=...") that
# loads the board interposer into a test binary. In a sanitizer build the
# sanitizer runtime has to come first in the library list, so it is named
# before the interposer.
function(vswitch_board_preload var)
  set(libraries "")
  if(SANITIZE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE asan OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(asan AND EXISTS "${asan}")
      set(libraries "${asan}:")
    endif()
  endif()
  set(${var} "LD_PRELOAD=${libraries}$<TARGET_FILE:vswitch_board>" PARENT_SCOPE)
endfunction()
