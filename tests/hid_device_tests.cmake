# The test HID device. Its bus is global to the prefix: every suite that plugs devices requires
# the hidbus fixture and takes the hidbus lock. hidbus_start (testhid install) loads the driver
# and leaves no node plugged with normal behaviour; an installed prefix brings nodes back after a
# Wine restart, so hidbus_stop unplugs them again at the end.
if(TARGET testhid)
  set(testhid_tool ${CMAKE_BINARY_DIR}/testhid/testhid.exe)
  add_test(NAME hidbus_start COMMAND ${VELTRA_WINE_RUN} --state ${VELTRA_WINE_STATE} ${testhid_tool} install)
  add_test(NAME hidbus_stop COMMAND ${VELTRA_WINE_RUN} --state ${VELTRA_WINE_STATE} ${testhid_tool} reset --unplug)
  set_tests_properties(hidbus_start PROPERTIES FIXTURES_SETUP hidbus)
  set_tests_properties(hidbus_stop PROPERTIES FIXTURES_CLEANUP hidbus)
  set_tests_properties(hidbus_start hidbus_stop PROPERTIES
      FIXTURES_REQUIRED wine RESOURCE_LOCK hidbus TIMEOUT 60)

  # Plugging a device broadcasts WM_DEVICECHANGE to every window registered for it, and a test's
  # driver dialog that is not pumping holds the broadcast up for its time-out: never beside one.
  veltra_gtest(hid_device_tests
    SOURCES hid_device_test.cpp
    SUITES TestHidDevice
    LOCK "hidbus;driver"
    DEPENDS testhid)
  set_tests_properties(TestHidDevice PROPERTIES FIXTURES_REQUIRED "wine;hidbus")
endif()
