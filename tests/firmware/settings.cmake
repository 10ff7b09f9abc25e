add_executable(settings_test ${CMAKE_CURRENT_LIST_DIR}/settings_test.cpp)
target_link_libraries(settings_test PRIVATE kavro_settings GTest::gtest_main)
gtest_discover_tests(settings_test DISCOVERY_MODE PRE_TEST)
