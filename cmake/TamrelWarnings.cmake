# Warning flags for every target of ours; -Werror when TAMREL_WERROR is on (CI).
function(tamrel_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${TAMREL_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${TAMREL_WERROR}>:-Werror>)
  endif()
endfunction()

# The tool and its libraries: no exceptions, no RTTI, and nothing linked in
# that the code does not use (the C++ runtime would otherwise allocate its
# exception pool at start-up).
function(tamrel_tool_flags target)
  tamrel_set_warnings(${target})
  if(NOT MSVC)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  endif()
endfunction()
