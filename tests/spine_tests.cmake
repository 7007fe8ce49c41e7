# The driver's spine: pendant discovery, the main dialog, the driver as a process, and the hook
# library's wrappers.

veltra_gtest(pendant_tests
  SOURCES pendant_discovery_test.cpp kernel_lock_test.cpp
  SUITES PendantDiscovery KernelLock)

# The dialog registers the hot key, the autostart value and the "zomfa" event, like the driver.
veltra_gtest(driver_dialog_tests
  SOURCES driver_dialog_test.cpp event_log_test.cpp diagnosis_test.cpp
  SUITES DriverDialogStartup DriverDialogMessages DriverDialogStatus DriverDialogDeviceChange
         DriverDialogLock
         DriverDialogShutdown
         EventLog Diagnosis
  LOCK driver
  DEPENDS hravik_full ncstudio-v8 ncstudio-v6)

# The diagnosis counts the NcStudio processes on the desktop: none of the host suites may overlap.
veltra_gtest(driver_process_tests
  SOURCES driver_process_test.cpp shell_tray_test.cpp support/shell_tray.cpp
  SUITES DriverProcess ShellTray
  LOCK driver
  DEPENDS veltra hravik_no-keyboardproc)
# ShellTray reaches the icon through Wine's tray with the mouse, and reads the screen.
set_tests_properties(DriverProcess ShellTray PROPERTIES RESOURCE_LOCK "driver;desktop")
target_include_directories(driver_process_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools)

# The driver loads hravik.dll from its own folder only: copies of it beside no library, beside one
# that lacks KeyBoardProc, and beside the soak's library of the other bitness.
set(driver_variant_dir ${CMAKE_BINARY_DIR}/driver-variants)
add_custom_command(TARGET driver_process_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${driver_variant_dir}/nolib
            ${driver_variant_dir}/no-keyboardproc ${driver_variant_dir}/otherbits
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:veltra> ${driver_variant_dir}/nolib/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:veltra> ${driver_variant_dir}/no-keyboardproc/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:hravik_no-keyboardproc>
            ${driver_variant_dir}/no-keyboardproc/hravik.dll
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:veltra> ${driver_variant_dir}/otherbits/
    VERBATIM)
if(TARGET soak_variants)
  add_dependencies(driver_process_tests soak_variants)
  add_custom_command(TARGET driver_process_tests POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_BINARY_DIR}/soak/otherbits/hravik.dll
              ${driver_variant_dir}/otherbits/
      VERBATIM)
endif()


veltra_gtest(hook_library_tests
  SOURCES hook_library_test.cpp
  SUITES HookLibrary
  DEPENDS hravik_full hravik_none hravik_no-setpcstate)

# The driver loads hravik.dll only from its own folder, so each library variant gets a copy of
# the test beside it; "missing" has no library at all.
set(hook_variant_root ${CMAKE_BINARY_DIR}/hookvariants)
foreach(variant missing none no-setpcstate)
  set(dir ${hook_variant_root}/${variant})
  add_custom_command(TARGET hook_library_tests POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:hook_library_tests> ${dir}/
      VERBATIM)
  if(variant STREQUAL "missing")
    add_custom_command(TARGET hook_library_tests POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E rm -f ${dir}/hravik.dll
        VERBATIM)
  else()
    add_custom_command(TARGET hook_library_tests POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:hravik_${variant}> ${dir}/hravik.dll
        VERBATIM)
  endif()
endforeach()

function(hook_variant_test suite variant workdir)
  add_test(NAME ${suite}
      COMMAND ${VELTRA_WINE_RUN} --state ${VELTRA_WINE_STATE}
              ${hook_variant_root}/${variant}/hook_library_tests.exe --gtest_filter=${suite}.*
      WORKING_DIRECTORY ${workdir})
  set_tests_properties(${suite} PROPERTIES TIMEOUT 120)
  veltra_wine_test(${suite})
endfunction()

hook_variant_test(HookLibraryMissing missing ${hook_variant_root}/missing)
hook_variant_test(HookLibraryNoExports none ${hook_variant_root}/none)
hook_variant_test(HookLibraryNoSetPcState no-setpcstate ${hook_variant_root}/no-setpcstate)
# A hravik.dll in the current folder (and on PATH) must not be picked up.
hook_variant_test(HookLibraryPlanted missing ${CMAKE_BINARY_DIR}/bin)
