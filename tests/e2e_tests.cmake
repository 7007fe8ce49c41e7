# End-to-end: veltra.exe, the test HID device as the pendant and the stand-in host as separate
# processes. They share the driver's global names, the desktop's input and the device bus.
set(e2e_suites DriverStartup DriverKeys DriverDisplay DriverLock DriverExit DriverCrash)
veltra_gtest(e2e_tests
  SOURCES e2e/driver_e2e_test.cpp
  SUITES ${e2e_suites}
  DEPENDS veltra testhid ncstudio-v8 hravik_full)
set_tests_properties(${e2e_suites} PROPERTIES RESOURCE_LOCK "driver;desktop;hidbus"
    FIXTURES_REQUIRED "wine;hidbus")

# hid.dll and version.dll planted beside a copy of the driver (build/beside/planted/, with the
# stand-in hook library): the driver must take both from the system folder. Built into a folder of
# their own, never beside a test program, which imports the real ones.
foreach(name hid version)
  add_library(planted_${name} SHARED support/planted_library.cpp)
  target_link_libraries(planted_${name} PRIVATE veltra_options)
  if(name STREQUAL "hid")
    target_compile_definitions(planted_${name} PRIVATE PLANTED_HID)
  endif()
  # Undecorated names, as the system's libraries export them.
  target_link_options(planted_${name} PRIVATE -Wl,--kill-at)
  set_target_properties(planted_${name} PROPERTIES OUTPUT_NAME ${name} PREFIX ""
      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted)
  add_dependencies(e2e_tests planted_${name})
endforeach()
set(planted_dir ${CMAKE_BINARY_DIR}/beside/planted)
add_custom_command(TARGET e2e_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${planted_dir}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:veltra> ${planted_dir}/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:hravik_full> ${planted_dir}/hravik.dll
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:planted_hid> $<TARGET_FILE:planted_version>
            ${planted_dir}/
    VERBATIM)
