# Host discovery and dialog tracking against the stand-in NcStudio as a real child process.
# The suites set the foreground window and probe top-level windows by title across the whole
# desktop, so they never overlap with other suites that do either.
veltra_gtest(host_tracker_tests
  SOURCES host_tracker_test.cpp host_dialogs_test.cpp
  SUITES HostTracker HostDialogs
  LOCK desktop
  DEPENDS hravik_full ncstudio-v5 ncstudio-v8 ncstudio-v6 ncstudio-nover)
