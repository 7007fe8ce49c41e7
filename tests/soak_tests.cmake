# Soak: veltra.exe, the test HID device as the pendant and the stand-in host as processes, run
# through many unplug cycles, key floods, races and hostile inputs. The suite runs the short form;
# tools/soak.sh runs the long one (soak_tests.exe --cycles 100 --keys 10000 --instances 100).
set(soak_suites SoakLink SoakHostile)
veltra_gtest(soak_tests
  SOURCES soak/soak_test.cpp
  SUITES ${soak_suites}
  DEPENDS veltra testhid ncstudio-v8 hravik_full)
set_tests_properties(${soak_suites} PROPERTIES RESOURCE_LOCK "driver;desktop;hidbus"
    FIXTURES_REQUIRED "wine;hidbus" TIMEOUT 240)

# The driver beside a library that lacks every export, beside one of the other bitness, and
# beside none.
foreach(variant none otherbits nolib)
  veltra_beside_library(veltra ${variant} BY soak_tests)
endforeach()
