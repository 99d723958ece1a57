# ndi_add_test(NAME name SOURCES ... [LIBS ...] [THREADED] [ROOT] [TIMEOUT s]
#              [ENVIRONMENT VAR=value ...])
#
# Builds one GoogleTest program and registers it with CTest.
#   THREADED  the program exercises threads: it also runs under ThreadSanitizer
#             (label "threaded"); with NDI_SANITIZE=thread only these are built.
#   ROOT      the program makes namespaces or other root-only objects; it must
#             skip with a clear message when it cannot (label "root").
find_package(GTest REQUIRED)

function(ndi_add_test)
  cmake_parse_arguments(T "THREADED;ROOT" "NAME;TIMEOUT" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  # Under ThreadSanitizer only the threaded tests run; the others still get a
  # target (left out of the default build) so that their CMakeLists can go on
  # configuring it.
  if(NDI_SANITIZE MATCHES "thread" AND NOT T_THREADED)
    add_executable(${T_NAME} EXCLUDE_FROM_ALL ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  ndi_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set(labels "")
  if(T_THREADED)
    list(APPEND labels threaded)
  endif()
  if(T_ROOT)
    list(APPEND labels root)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${labels}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${T_ENVIRONMENT}")
endfunction()

# ndi_add_fuzzer(NAME name SOURCES ... [LIBS ...] CORPUS dir)
# Only built with NDI_FUZZ=ON (clang). scripts/test runs each one briefly on
# its committed seed corpus; the list of fuzzers is written to fuzzers.txt.
function(ndi_add_fuzzer)
  cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${F_NAME} ${F_SOURCES})
  ndi_warnings(${F_NAME})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  file(APPEND ${CMAKE_BINARY_DIR}/fuzzers.txt "${F_NAME} ${F_CORPUS}\n")
endfunction()
