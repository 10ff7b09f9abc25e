# Bring-up scripts: the built-in ones per product row, or a script file.
add_library(kavro_ads STATIC ${CMAKE_CURRENT_LIST_DIR}/kavro_ads.cpp)
target_include_directories(kavro_ads PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kavro_ads PRIVATE kavro_embedded)
