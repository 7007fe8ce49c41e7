# End-to-end: veltra.exe, the test HID device as the pendant and the stand-in host as separate
# processes. They share the driver's global names, the desktop's input and the device bus.
set(e2e_suites DriverStartup DriverKeys DriverDisplay DriverLock DriverExit DriverCrash)
veltra_gtest(e2e_tests
  SOURCES e2e/driver_e2e_test.cpp
  SUITES ${e2e_suites}
  DEPENDS veltra testhid ncstudio-v8 hravik_full)
set_tests_properties(${e2e_suites} PROPERTIES RESOURCE_LOCK "driver;desktop;hidbus"
    FIXTURES_REQUIRED "wine;hidbus")
