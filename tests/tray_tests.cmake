# The tray icon, its menu, the About box and the user-interface resources. The suites that create
# the main dialog take the driver's global names (hot key, "zomfa", autostart value): LOCK driver;
# its boxes, menus and the About box take the foreground, which the host suites rely on: LOCK
# desktop.
veltra_gtest(tray_tests
  SOURCES tray_icon_test.cpp about_box_test.cpp
  SUITES TrayIcon TrayRetry TrayMenu TrayIconResources AboutBox AboutFromDialog DriverResources
  LOCK "driver;desktop"
  DEPENDS veltra)
