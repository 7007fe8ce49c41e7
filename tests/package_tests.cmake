# The shipping 32-bit executable, built by the windows-x86 preset beside this build.
set(VELTRA_X86_EXE ${CMAKE_SOURCE_DIR}/build/windows-x86/bin/veltra.exe CACHE FILEPATH
    "The shipping executable that package_check inspects")
add_executable(package_check package_check.cpp)
target_link_libraries(package_check PRIVATE veltra_options version)
# The manifest is checked in this build's own driver too.
add_test(NAME package_check COMMAND package_check ${VELTRA_X86_EXE} $<TARGET_FILE:veltra>)
set_tests_properties(package_check PROPERTIES SKIP_RETURN_CODE 77)
veltra_wine_test(package_check)
