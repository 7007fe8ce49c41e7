# The shipping 32-bit executable: this build's own in the windows-x86 tree, else the one that the
# windows-x86 preset builds beside this build.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VELTRA_X86_EXE $<TARGET_FILE:veltra>)
else()
  set(VELTRA_X86_EXE ${CMAKE_SOURCE_DIR}/build/windows-x86/bin/veltra.exe CACHE FILEPATH
      "The shipping executable that package_check inspects")
  # The manifest is checked in this build's own driver too.
  set(package_check_own $<TARGET_FILE:veltra>)
endif()
add_executable(package_check package_check.cpp)
target_link_libraries(package_check PRIVATE veltra_options version)
add_test(NAME package_check COMMAND package_check ${VELTRA_X86_EXE} ${package_check_own})
set_tests_properties(package_check PROPERTIES SKIP_RETURN_CODE 77)
veltra_wine_test(package_check)

# One version number: none written by hand beside the project's.
add_test(NAME version_single_source
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${CMAKE_SOURCE_DIR} -DVERSION=${PROJECT_VERSION}
            -P ${CMAKE_SOURCE_DIR}/cmake/version_single_source.cmake)
