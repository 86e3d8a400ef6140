wirelens_qt_bench(packets_bench packets_bench.cpp)
# Filter, sort and sorted-insertion passes over a million stored packets, without Qt.
add_executable(filter_bench ${CMAKE_CURRENT_LIST_DIR}/filter_bench.cpp)
target_include_directories(filter_bench PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(filter_bench PRIVATE wirelens_core benchmark::benchmark)
# The window's side of the same passes: filter until the list is usable, sort by a header click.
wirelens_qt_bench(window_filter_bench window_filter_bench.cpp)
