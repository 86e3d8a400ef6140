# Capture throughput: a UDP flood sender and a reading-side counter, driven by
# capture_flood.sh; and the per-datagram cost of the helper's and reader's work.
add_executable(wirelens_udp_flood ${CMAKE_CURRENT_LIST_DIR}/udp_flood.cpp)
target_include_directories(wirelens_udp_flood PRIVATE ${PROJECT_SOURCE_DIR})
add_executable(wirelens_capture_count ${CMAKE_CURRENT_LIST_DIR}/capture_count.cpp)
target_link_libraries(wirelens_capture_count PRIVATE wirelens_core)
target_compile_definitions(wirelens_capture_count PRIVATE
  WIRELENS_CAPTURE_HELPER="$<TARGET_FILE:wirelens-capture>")
add_dependencies(wirelens_capture_count wirelens-capture)
add_executable(capture_bench ${CMAKE_CURRENT_LIST_DIR}/capture_bench.cpp)
target_link_libraries(capture_bench PRIVATE wirelens_core benchmark::benchmark)
add_executable(wirelens_ring_count ${CMAKE_CURRENT_LIST_DIR}/ring_count.cpp)
find_package(Threads REQUIRED)
add_executable(wirelens_pause_watch ${CMAKE_CURRENT_LIST_DIR}/pause_watch.cpp)
target_link_libraries(wirelens_pause_watch PRIVATE Threads::Threads)
# The disk under the datagram store, written as a capture writes it.
add_executable(wirelens_disk_writes ${CMAKE_CURRENT_LIST_DIR}/disk_writes.cpp)
target_link_libraries(wirelens_disk_writes PRIVATE wirelens_core Threads::Threads)
