include(GoogleTest)

# kivo_add_gtest(NAME n SOURCES s... [LIBS l...] [LABELS l...])
# One GoogleTest executable; every case becomes a CTest test. Under the ARM
# build CTest runs them through qemu-arm-static (CMAKE_CROSSCOMPILING_EMULATOR).
function(kivo_add_gtest)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(KIVO_TEST_LABEL AND NOT KIVO_TEST_LABEL IN_LIST T_LABELS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  kivo_target_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  # gtest_discover_tests flattens its property list, so a test carries one
  # label only: the first one given.
  list(GET T_LABELS 0 labels)
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${labels}" TIMEOUT 120)
endfunction()
