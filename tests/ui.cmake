wirelens_qt_test(form_main_test form_main_test.cpp capture_ending_test.cpp row_selection_test.cpp
  window_layout_test.cpp)
wirelens_qt_test(form_main_live_test form_main_live_test.cpp)
target_link_libraries(form_main_live_test PRIVATE wirelens_netns_fixture)
target_compile_definitions(form_main_live_test PRIVATE
  WIRELENS_CAPTURE_HELPER="$<TARGET_FILE:wirelens-capture>")
add_dependencies(form_main_live_test wirelens-capture)
wirelens_qt_test(form_main_files_test form_main_files_test.cpp)
wirelens_qt_test(form_main_filter_test form_main_filter_test.cpp)
# The command line's work without a window runs the real program.
target_compile_definitions(form_main_files_test PRIVATE WIRELENS_BINARY="$<TARGET_FILE:wirelens>")
add_dependencies(form_main_files_test wirelens)
wirelens_qt_test(packet_row_delegate_test packet_row_delegate_test.cpp scroll_bar_paint_cache_test.cpp
  packet_table_view_test.cpp)
# A full disk under the capture's temporary file, live and reading a file.
wirelens_qt_test(disk_full_window_test disk_full_window_test.cpp)
