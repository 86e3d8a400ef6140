# Capture throughput: a UDP flood sender and a reading-side counter, driven by
# capture_flood.sh; and the per-datagram cost of the helper's and reader's work.
add_executable(wirelens_udp_flood ${CMAKE_CURRENT_LIST_DIR}/udp_flood.cpp)
add_executable(wirelens_capture_count ${CMAKE_CURRENT_LIST_DIR}/capture_count.cpp)
target_link_libraries(wirelens_capture_count PRIVATE wirelens_core)
add_dependencies(wirelens_capture_count wirelens-capture)
wirelens_bench(capture_bench ${CMAKE_CURRENT_LIST_DIR}/capture_bench.cpp)
