# The scripts the program embeds are also read as files, from the folder they are embedded from.
if(KAVRO_ADS_DIR)
  set(bringup_script_test_script_dir ${KAVRO_ADS_DIR})
else()
  set(bringup_script_test_script_dir ${CMAKE_SOURCE_DIR}/data/ads)
endif()
add_executable(bringup_script_test ${CMAKE_CURRENT_LIST_DIR}/bringup_script_test.cpp)
target_link_libraries(bringup_script_test PRIVATE kavro_bringup_script kavro_embedded GTest::gtest_main Threads::Threads)
target_compile_definitions(bringup_script_test PRIVATE KAVRO_ADS_SCRIPT_DIR="${bringup_script_test_script_dir}")
# One case parses on several threads at once; the whole executable is quick enough for TSan.
gtest_discover_tests(bringup_script_test DISCOVERY_MODE PRE_TEST PROPERTIES LABELS threads)
