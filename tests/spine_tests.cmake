# The driver's spine: pendant discovery, the main dialog, the driver as a process, and the hook
# library's wrappers.

veltra_gtest(pendant_tests
  SOURCES pendant_discovery_test.cpp kernel_lock_test.cpp
  SUITES PendantDiscovery KernelLock)

# The dialog registers the hot key, the autostart value and the "zomfa" event, like the driver, and
# its boxes take the foreground, which the host suites rely on: LOCK driver and desktop.
veltra_gtest(driver_dialog_tests
  SOURCES driver_dialog_test.cpp event_log_test.cpp diagnosis_test.cpp
  SUITES DriverDialogStartup DriverDialogMessages DriverDialogStatus DriverDialogDeviceChange
         DriverDialogLock
         DriverDialogShutdown
         EventLog Diagnosis
  LOCK "driver;desktop"
  DEPENDS hravik_full ncstudio-v8 ncstudio-v6)

# The diagnosis counts the NcStudio processes on the desktop: none of the host suites may overlap.
veltra_gtest(driver_process_tests
  SOURCES driver_process_test.cpp shell_tray_test.cpp
  SUITES DriverProcess ShellTray
  LOCK driver
  DEPENDS veltra)
# ShellTray reaches the icon through Wine's tray with the mouse, and reads the screen.
set_tests_properties(DriverProcess ShellTray PROPERTIES RESOURCE_LOCK "driver;desktop")

# The driver beside no library, beside one that lacks KeyBoardProc, beside one of the other bitness.
foreach(variant nolib no-keyboardproc otherbits)
  veltra_beside_library(veltra ${variant} BY driver_process_tests)
endforeach()

veltra_gtest(hook_library_tests
  SOURCES hook_library_test.cpp
  SUITES HookLibrary
  DEPENDS hravik_full hravik_none hravik_no-setpcstate)

# The wrappers beside each kind of library; "nolib" has none at all. A hravik.dll in the current
# folder (and on PATH) must not be picked up.
veltra_beside_library(hook_library_tests nolib SUITE HookLibraryMissing)
veltra_beside_library(hook_library_tests none SUITE HookLibraryNoExports)
veltra_beside_library(hook_library_tests no-setpcstate SUITE HookLibraryNoSetPcState)
add_test(NAME HookLibraryPlanted
    COMMAND ${VELTRA_WINE_RUN} --state ${VELTRA_WINE_STATE}
            ${CMAKE_BINARY_DIR}/beside/nolib/$<TARGET_FILE_NAME:hook_library_tests>
            --gtest_filter=HookLibraryPlanted.*
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
veltra_wine_test(HookLibraryPlanted)
