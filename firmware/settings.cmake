# Flashing settings: built-in defaults per platform or a JSON settings file.
add_library(kavro_settings STATIC ${CMAKE_CURRENT_LIST_DIR}/kavro_settings.cpp)
target_include_directories(kavro_settings PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kavro_settings PRIVATE PkgConfig::JSONC)
