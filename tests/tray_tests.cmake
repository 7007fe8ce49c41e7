# The tray icon, its menu, the About box and the user-interface resources. The suites that create
# the main dialog take the driver's global names (hot key, "zomfa", autostart value): LOCK driver.
veltra_gtest(tray_tests
  SOURCES tray_icon_test.cpp about_box_test.cpp
  SUITES TrayIcon TrayRetry TrayMenu TrayIconResources AboutBox AboutFromDialog DriverResources
  LOCK driver
  DEPENDS veltra)
# A menu or a modal box takes the foreground, which the host suites rely on.
set_tests_properties(TrayMenu AboutBox AboutFromDialog PROPERTIES RESOURCE_LOCK "driver;desktop")
