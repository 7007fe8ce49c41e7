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

# The poller beside a hook library that lacks GetMaStep, and beside one that lacks GetAxisLocation.
veltra_beside_library(machine_poller_tests no-getmastep SUITE PollerWithoutGetMaStep)
veltra_beside_library(machine_poller_tests no-getaxislocation SUITE PollerWithoutGetAxisLocation)
set_tests_properties(PollerWithoutGetMaStep PollerWithoutGetAxisLocation PROPERTIES RESOURCE_LOCK driver)
