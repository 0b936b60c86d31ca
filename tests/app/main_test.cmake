# The updater tests run the built program: they get its path, the packer's
# and the emulator that runs ARM binaries (empty natively) as compile
# definitions. Read at the end of the top-level directory, once the test
# targets exist (see app/CMakeLists.txt).
if(TARGET test_app_main AND TARGET updater)
  target_compile_definitions(test_app_main PRIVATE
    QLX_UPDATER="$<TARGET_FILE:updater>"
    QLX_PACKER="${CMAKE_CURRENT_LIST_DIR}/update_pack.py"
    QLX_EMULATOR="${CMAKE_CROSSCOMPILING_EMULATOR}")
  add_dependencies(test_app_main updater)
endif()
