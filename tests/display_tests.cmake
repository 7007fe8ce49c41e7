veltra_gtest(display_frame_tests
  SOURCES display_frame_test.cpp
  SUITES FeatureWriter DisplayFrame
  DEPENDS hravik_full)

# The poller creates the named stop event, so its suites never overlap other driver tests.
veltra_gtest(machine_poller_tests
  SOURCES machine_poller_test.cpp
  SUITES MachinePoller
  LOCK driver
  DEPENDS hravik_full)

# A hook library that lacks an export: the driver loads hravik.dll only from its own folder, so
# a copy of the test program sits beside each variant's library.
foreach(pair "no-getmastep:PollerWithoutGetMaStep" "no-getaxislocation:PollerWithoutGetAxisLocation")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 variant)
  list(GET pair 1 suite)
  set(dir ${CMAKE_BINARY_DIR}/variants/${variant})
  add_dependencies(machine_poller_tests hravik_${variant})
  add_custom_command(TARGET machine_poller_tests POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:machine_poller_tests> ${dir}/
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:hravik_${variant}> ${dir}/
      VERBATIM)
  add_test(NAME ${suite}
           COMMAND ${VELTRA_WINE_RUN} --state ${VELTRA_WINE_STATE}
                   ${dir}/machine_poller_tests.exe --gtest_filter=${suite}.*)
  set_tests_properties(${suite} PROPERTIES TIMEOUT 180 RESOURCE_LOCK driver)
  veltra_wine_test(${suite})
endforeach()
