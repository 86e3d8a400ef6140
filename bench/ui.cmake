# The whole window under a capture flood, driven by window_flood.sh beside tcpdump.
add_executable(wirelens_window_flood ${CMAKE_CURRENT_LIST_DIR}/window_flood.cpp)
target_link_libraries(wirelens_window_flood PRIVATE wirelens_qt)
# The window starts this build's helper, whatever ./scripts/run installed.
target_compile_definitions(wirelens_window_flood PRIVATE
  WIRELENS_CAPTURE_HELPER="$<TARGET_FILE:wirelens-capture>")
add_dependencies(wirelens_window_flood wirelens-capture wirelens_udp_flood)
