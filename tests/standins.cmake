# The stand-ins' own suites: the hook library with each of its variants, and the host program with
# each version resource. The host suite sets the foreground and finds windows by title
# desktop-wide: LOCK desktop.
# The variants are listed once, in tools/hravik/CMakeLists.txt; the suite reads them from a table
# made here.
get_property(hravik_variants GLOBAL PROPERTY HRAVIK_VARIANTS)
set(hravik_variant_table "")
set(hravik_variant_targets "")
foreach(variant IN LISTS hravik_variants)
  get_property(omits GLOBAL PROPERTY HRAVIK_VARIANT_OMITS_${variant})
  list(JOIN omits " " omits)
  string(APPEND hravik_variant_table "{\"${variant}\", \"${omits}\"},\n")
  list(APPEND hravik_variant_targets hravik_${variant})
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/standins/hravik_variants.inc
     CONTENT "${hravik_variant_table}" @ONLY)

veltra_gtest(standin_tests
  SOURCES standins/hravik_test.cpp standins/ncstudio_host_test.cpp
  SUITES HravikStandin NcStudioStandin
  DEPENDS ${hravik_variant_targets} ncstudio-v5 ncstudio-v8 ncstudio-v6 ncstudio-nover)
target_include_directories(standin_tests PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/standins)
set_tests_properties(NcStudioStandin PROPERTIES RESOURCE_LOCK desktop)
