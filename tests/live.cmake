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

# A reader without capabilities, as a user's window: its own main, which runs
# the tests on a thread that keeps them while the first thread gives them up.
add_executable(live_ring_test ${CMAKE_CURRENT_LIST_DIR}/live_ring_test.cpp)
target_link_libraries(live_ring_test PRIVATE wirelens_core wirelens_netns_fixture GTest::gtest)
target_compile_definitions(live_ring_test PRIVATE
  WIRELENS_CAPTURE_HELPER="$<TARGET_FILE:wirelens-capture>")
add_dependencies(live_ring_test wirelens-capture)
gtest_discover_tests(live_ring_test DISCOVERY_TIMEOUT 60 PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
