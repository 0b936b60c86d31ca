# The updater tests (the main ones, the hostile-package table and the
# packages of other zip writers) run the built program: they get its path,
# the packer's and the emulator that runs ARM binaries (empty natively) as
# compile definitions. Read at the end of the top-level directory, once the test
# targets exist (see app/CMakeLists.txt).
foreach(t test_app_main test_app_hostile test_app_other_tools test_app_check_script)
  if(TARGET ${t} AND TARGET updater)
    target_compile_definitions(${t} PRIVATE
      QLX_UPDATER="$<TARGET_FILE:updater>"
      QLX_PACKER="${CMAKE_CURRENT_LIST_DIR}/update_pack.py"
      QLX_EMULATOR="${CMAKE_CROSSCOMPILING_EMULATOR}")
    add_dependencies(${t} updater)
  endif()
endforeach()

# The Update suite runs the packer too: its path from here, not from the
# header's __FILE__, which a compiler cache leaves relative to the build
# directory while the tests run in another.
if(TARGET test_app_update)
  target_compile_definitions(test_app_update PRIVATE QLX_PACKER="${CMAKE_CURRENT_LIST_DIR}/update_pack.py")
endif()

# The device program, stripped, must fit its flash partition: under 4 MiB.
if(CMAKE_CROSSCOMPILING AND TARGET updater AND CMAKE_STRIP AND (NOT KIVO_TEST_LABEL OR KIVO_TEST_LABEL STREQUAL "framework"))
  add_test(NAME UpdaterSize.StrippedUnder4MiB
    COMMAND sh -c "'${CMAKE_STRIP}' -o \"$1.stripped\" \"$1\" && size=$(stat -c %s \"$1.stripped\") && echo \"stripped updater: $size bytes\" && [ \"$size\" -lt 4194304 ]"
            sh "$<TARGET_FILE:updater>")
  set_tests_properties(UpdaterSize.StrippedUnder4MiB PROPERTIES LABELS framework)
endif()

