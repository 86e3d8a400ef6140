# The true decode: a summary line per datagram and a field tree.
add_executable(dissect_bench ${CMAKE_CURRENT_LIST_DIR}/dissect_bench.cpp)
target_include_directories(dissect_bench PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(dissect_bench PRIVATE wirelens_core benchmark::benchmark)
# A screenful of the packet list painted with the Info column.
wirelens_qt_bench(dissect_views_bench dissect_views_bench.cpp)
target_include_directories(dissect_views_bench PRIVATE ${PROJECT_SOURCE_DIR})
