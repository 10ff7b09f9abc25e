# A second RSA-4096 key, unrelated to the publisher's, for signatures that must not verify.
include(${CMAKE_SOURCE_DIR}/tests/tools/rsa_test_key.cmake)
set(archive_test_other_key ${CMAKE_CURRENT_BINARY_DIR}/archive-test-other-private.pem)
kavro_test_rsa_key(${archive_test_other_key} 4096)

add_library(kavro_archive_test_fixture STATIC ${CMAKE_CURRENT_LIST_DIR}/archive_fixture.cpp)
target_link_libraries(kavro_archive_test_fixture
  PUBLIC kavro_archive kavro_pack_lib kavro_test_support PkgConfig::JSONC GTest::gtest)

add_executable(archive_test
  ${CMAKE_CURRENT_LIST_DIR}/archive_open_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/archive_extract_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/archive_signature_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/archive_embedded_test.cpp)
target_link_libraries(archive_test
  PRIVATE kavro_archive_test_fixture kavro_embedded GTest::gmock GTest::gtest_main)
# A build that embeds the real publisher key cannot sign fixtures that pass its check.
if(KAVRO_EMBEDDED_PUBLIC_KEY_FILE STREQUAL KAVRO_PUBLISHER_PUBLIC_KEY_FILE)
  set(archive_test_signing_key_embedded 1)
else()
  set(archive_test_signing_key_embedded 0)
endif()
target_compile_definitions(archive_test PRIVATE
  KAVRO_TEST_SIGNING_KEY_EMBEDDED=${archive_test_signing_key_embedded}
  KAVRO_TEST_PUBLISHER_PRIVATE_KEY="${KAVRO_PUBLISHER_PRIVATE_KEY_FILE}"
  KAVRO_TEST_OTHER_PRIVATE_KEY="${archive_test_other_key}")
gtest_discover_tests(archive_test DISCOVERY_MODE PRE_TEST)

add_executable(archive_thread_test ${CMAKE_CURRENT_LIST_DIR}/archive_thread_test.cpp)
target_link_libraries(archive_thread_test
  PRIVATE kavro_archive_test_fixture GTest::gtest_main Threads::Threads)
gtest_discover_tests(archive_thread_test DISCOVERY_MODE PRE_TEST PROPERTIES LABELS threads)

add_executable(archive_store_test ${CMAKE_CURRENT_LIST_DIR}/archive_store_test.cpp)
target_link_libraries(archive_store_test
  PRIVATE kavro_archive_test_fixture GTest::gtest_main Threads::Threads)
gtest_discover_tests(archive_store_test DISCOVERY_MODE PRE_TEST PROPERTIES LABELS threads)
