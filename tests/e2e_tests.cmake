# End-to-end: the driver's virtual build, the virtual pendant and the stand-in host as separate
# processes. They share the driver's global names, the desktop's input and the pendant's pipes.
if(TARGET veltra-virtual)
  set(e2e_suites DriverStartup DriverKeys DriverDisplay DriverLock DriverExit)
  veltra_gtest(e2e_tests
    SOURCES e2e/driver_e2e_test.cpp
    SUITES ${e2e_suites}
    DEPENDS veltra-virtual virtual-pendant ncstudio-v8 hravik_full)
  target_include_directories(e2e_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools)
  set_tests_properties(${e2e_suites} PROPERTIES RESOURCE_LOCK "driver;desktop;pendant_pipes")
endif()
