veltra_gtest(key_tests
  SOURCES key_report_test.cpp key_forwarder_test.cpp
  SUITES KeyReportDecoding KeyReader KeyForwarder HeldKeyRelease)
# The forwarder's suite shows, minimises and restores host windows of its own: never beside a
# suite that works the mouse or the foreground.
set_tests_properties(KeyForwarder PROPERTIES RESOURCE_LOCK desktop)

# The dialog suite registers the driver's global hot key and names, and its boxes take the
# foreground: it shares both locks.
add_test(NAME DriverDialogKeys COMMAND key_tests --gtest_filter=DriverDialogKeys.*)
set_tests_properties(DriverDialogKeys PROPERTIES TIMEOUT 180 RESOURCE_LOCK "driver;desktop")
veltra_wine_test(DriverDialogKeys)

# The forwarder beside no hook library, and beside one that lacks KeyBoardProc.
veltra_beside_library(key_tests nolib SUITE KeyForwarderWithoutLibrary)
veltra_beside_library(key_tests no-keyboardproc SUITE KeyForwarderWithoutKeyBoardProc)
