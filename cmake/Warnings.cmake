# Warnings are errors for the project's own targets. Call ndi_warnings(target)
# on every target the project builds from its own sources.
function(ndi_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
    $<$<COMPILE_LANGUAGE:C>:-Wstrict-prototypes>)
  # The sanitizers' instrumentation makes GCC's flow analysis report
  # uninitialised values inside the standard library (<regex>, <optional>)
  # that the plain build proves initialised; the plain build keeps the check.
  if(NDI_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wno-maybe-uninitialized>)
  endif()
endfunction()
