# Firmware archives: opening (from a file or the built-in base archives), the manifest,
# block-wise extraction and the publisher signature check.
add_library(kavro_archive STATIC
  ${CMAKE_CURRENT_LIST_DIR}/kavro_archive.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kavro_archive_extract.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kavro_archive_signature.cpp
)
target_include_directories(kavro_archive PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kavro_archive
  PUBLIC kavro_common
  PRIVATE PkgConfig::LIBARCHIVE PkgConfig::JSONC OpenSSL::Crypto kavro_embedded)
