# Live captures inside network namespaces the tests make (root only; skipped otherwise).
# wirelens_netns_fixture is meant for every live test, the GUI's end-to-end test too.
add_library(wirelens_netns_fixture STATIC
  ${CMAKE_CURRENT_LIST_DIR}/netns_fixture.cpp ${CMAKE_CURRENT_LIST_DIR}/netns_fixture.h)
target_include_directories(wirelens_netns_fixture PUBLIC ${PROJECT_SOURCE_DIR})

wirelens_core_test(live_capture_test ${CMAKE_CURRENT_LIST_DIR}/live_capture_test.cpp)
target_link_libraries(live_capture_test PRIVATE wirelens_netns_fixture)
target_compile_definitions(live_capture_test PRIVATE
  WIRELENS_CAPTURE_HELPER="$<TARGET_FILE:wirelens-capture>")
add_dependencies(live_capture_test wirelens-capture)
# The display filter comparison writes pcap files with libpcap.
target_link_libraries(live_capture_test PRIVATE PkgConfig::PCAP)
