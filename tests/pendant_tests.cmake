veltra_gtest(pendant_tests
  SOURCES pendant_discovery_test.cpp
  SUITES PendantDiscovery)
