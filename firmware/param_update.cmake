# Patching of bootstrap and bootloader images on their way to the module.
add_library(kavro_param_update STATIC ${CMAKE_CURRENT_LIST_DIR}/kavro_param_update.cpp)
target_include_directories(kavro_param_update PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kavro_param_update PUBLIC kavro_archive kavro_settings)
