# Warnings are errors for the project's own targets. Call ndi_warnings(target)
# on every target the project builds from its own sources.
function(ndi_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
    $<$<COMPILE_LANGUAGE:C>:-Wstrict-prototypes>)
endfunction()
