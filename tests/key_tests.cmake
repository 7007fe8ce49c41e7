veltra_gtest(key_tests
  SOURCES key_report_test.cpp key_forwarder_test.cpp
  SUITES KeyReportDecoding KeyReader KeyForwarder HeldKeyRelease)
# The forwarder's suite shows, minimises and restores host windows of its own: never beside a
# suite that works the mouse or the foreground.
set_tests_properties(KeyForwarder PROPERTIES RESOURCE_LOCK desktop)

# The dialog suite registers the driver's global hot key and names: it shares their lock.
add_test(NAME DriverDialogKeys COMMAND key_tests --gtest_filter=DriverDialogKeys.*)
set_tests_properties(DriverDialogKeys PROPERTIES TIMEOUT 180 RESOURCE_LOCK driver)
veltra_wine_test(DriverDialogKeys)

# The driver loads the hook library from its own folder only, so the missing-library and
# missing-export cases run from copies of the test program in folders of their own.
set(key_nolib_dir ${CMAKE_BINARY_DIR}/key-tests/no-library)
set(key_nokbp_dir ${CMAKE_BINARY_DIR}/key-tests/no-keyboardproc)
add_dependencies(key_tests hravik_no-keyboardproc)
add_custom_command(TARGET key_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${key_nolib_dir} ${key_nokbp_dir}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:key_tests> ${key_nolib_dir}/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:key_tests> ${key_nokbp_dir}/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:hravik_no-keyboardproc>
            ${key_nokbp_dir}/hravik.dll
    VERBATIM)
foreach(variant IN ITEMS no-library no-keyboardproc)
  if(variant STREQUAL "no-library")
    set(suite KeyForwarderWithoutLibrary)
  else()
    set(suite KeyForwarderWithoutKeyBoardProc)
  endif()
  add_test(NAME ${suite}
      COMMAND ${VELTRA_WINE_RUN} --state ${VELTRA_WINE_STATE}
              ${CMAKE_BINARY_DIR}/key-tests/${variant}/key_tests.exe --gtest_filter=${suite}.*)
  set_tests_properties(${suite} PROPERTIES TIMEOUT 120)
  veltra_wine_test(${suite})
endforeach()
