# Capture engine: link-layer removal, the helper stream, and the socket module.
wirelens_core_test(capture_test
  ${CMAKE_CURRENT_LIST_DIR}/link_layer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture_stream_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/shared_ring_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mdlwinsock_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/helper_access_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/thread_priority_test.cpp)
target_compile_definitions(capture_test PRIVATE
  WIRELENS_CAPTURE_HELPER="$<TARGET_FILE:wirelens-capture>")
add_dependencies(capture_test wirelens-capture)
wirelens_qt_test(async_select_test async_select_test.cpp)
