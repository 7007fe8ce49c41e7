# The operators' Windows Installer package, installed, upgraded and removed by msiexec under Wine.
# A 32-bit build tests its own package, any other the shipping build's beside it. Installing
# touches the autostart value and starts the driver (LOCK driver), and the refused downgrade shows
# a box in front (LOCK desktop). About 2 s.
if(TARGET veltra-msi)
  set(installer_default ${VELTRA_MSI})
else()
  set(installer_default ${CMAKE_SOURCE_DIR}/build/windows-x86/veltra-${PROJECT_VERSION}-win32.msi)
endif()
set(VELTRA_X86_MSI ${installer_default} CACHE FILEPATH "The shipping package that the Installer suite installs")
get_filename_component(installer_build ${VELTRA_X86_MSI} DIRECTORY)

veltra_gtest(installer_tests SOURCES installer_test.cpp SUITES Installer LOCK "driver;desktop")
target_link_libraries(installer_tests PRIVATE msi ole32)
if(TARGET veltra-msi)
  add_dependencies(installer_tests veltra-msi)
endif()
set_tests_properties(Installer PROPERTIES
    ENVIRONMENT "VELTRA_MSI=${VELTRA_X86_MSI};VELTRA_SHIPPED_EXE=${installer_build}/bin/veltra.exe")
