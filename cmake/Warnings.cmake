# Project-wide warning flags; ORUKIV_WERROR turns them into errors (CI).
function(orukiv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(ORUKIV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
