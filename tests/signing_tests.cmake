# A signing build of the shipping package, in a tree of its own inside this one (about 1 to 2 min:
# it compiles the 32-bit driver). Once, in the 64-bit tree, whose suite runs wherever Wine does. It
# installs the package, so never beside the Installer suite or a driver.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_test(NAME SignedPackage
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/signed_package_test.sh ${CMAKE_SOURCE_DIR}
              ${CMAKE_BINARY_DIR}/signed-package ${VELTRA_WINE_RUN} ${VELTRA_WINE_STATE})
  set_tests_properties(SignedPackage PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900 RESOURCE_LOCK "driver;desktop")
  veltra_wine_test(SignedPackage)
endif()
