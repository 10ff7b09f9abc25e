# Patching of bootstrap and bootloader buffers, against archives made for each case.
add_executable(image_patching_test
  ${CMAKE_CURRENT_LIST_DIR}/image_patching_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_patching_bootstrap_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_patching_key_block_test.cpp)
target_link_libraries(image_patching_test PRIVATE
  kavro_image_patching kavro_archive kavro_settings kavro_pack_lib kavro_test_support
  GTest::gtest_main)
gtest_discover_tests(image_patching_test DISCOVERY_MODE PRE_TEST)

# The data linked into the program: each blob against the file it was built from, and the
# generated placeholders against the layout the tool expects of them.
if(KAVRO_FLASH_BLD)
  set(flash_bld_placeholder 0)
else()
  set(flash_bld_placeholder 1)
endif()
if(KAVRO_BASE_DIR)
  set(base_generated 0)
else()
  set(base_generated 1)
endif()
if(KAVRO_PUBLISHER_PUBKEY)
  set(public_key_generated 0)
else()
  set(public_key_generated 1)
endif()
add_executable(embedded_data_test ${CMAKE_CURRENT_LIST_DIR}/embedded_data_test.cpp)
target_link_libraries(embedded_data_test PRIVATE
  kavro_embedded kavro_pack_lib PkgConfig::JSONC OpenSSL::Crypto GTest::gtest_main)
target_compile_definitions(embedded_data_test PRIVATE
  KAVRO_TEST_FLASH_BLD_FILE="${KAVRO_EMBEDDED_FLASH_BLD_FILE}"
  KAVRO_TEST_FLASH_BLD_PLACEHOLDER=${flash_bld_placeholder}
  KAVRO_TEST_ADS_DIR="${KAVRO_EMBEDDED_ADS_DIR}"
  KAVRO_TEST_BASE_DIR="${KAVRO_EMBEDDED_BASE_DIR}"
  KAVRO_TEST_BASE_GENERATED=${base_generated}
  KAVRO_TEST_IMAGES_DIR="${KAVRO_GENERATED_IMAGES_DIR}"
  KAVRO_TEST_PUBLIC_KEY_FILE="${KAVRO_EMBEDDED_PUBLIC_KEY_FILE}"
  KAVRO_TEST_PUBLIC_KEY_GENERATED=${public_key_generated}
  KAVRO_TEST_PUBLISHER_PUBLIC_KEY_FILE="${KAVRO_PUBLISHER_PUBLIC_KEY_FILE}")
gtest_discover_tests(embedded_data_test DISCOVERY_MODE PRE_TEST)
