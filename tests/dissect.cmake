# The true decode: fixtures, fuzz targets over a fixed corpus, and a live
# comparison with tcpdump.
wirelens_core_test(dissect_test ${CMAKE_CURRENT_LIST_DIR}/dissect_test.cpp)

# One fuzz target per decoder; the corpus test runs them all under the
# sanitizers with g++. WIRELENS_FUZZ builds each as a libFuzzer program (clang).
set(WIRELENS_DISSECT_FUZZ_TARGETS ipv4 tcp udp dns dhcp ntp icmp igmp other datagram)
set(fuzz_sources)
foreach(target ${WIRELENS_DISSECT_FUZZ_TARGETS})
  list(APPEND fuzz_sources ${CMAKE_CURRENT_LIST_DIR}/fuzz/dissect_${target}_fuzz.cpp)
endforeach()
wirelens_core_test(dissect_fuzz_test ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_corpus_test.cpp ${fuzz_sources})

option(WIRELENS_FUZZ "Build each decoder's fuzz target as a libFuzzer program (needs clang)" OFF)
if(WIRELENS_FUZZ)
  # The decoders live in the core library: it needs the fuzzer's coverage too.
  target_compile_options(wirelens_core PRIVATE -fsanitize=fuzzer-no-link)
  foreach(target ${WIRELENS_DISSECT_FUZZ_TARGETS})
    add_executable(fuzz_dissect_${target} ${CMAKE_CURRENT_LIST_DIR}/fuzz/dissect_${target}_fuzz.cpp)
    target_compile_definitions(fuzz_dissect_${target} PRIVATE WIRELENS_LIBFUZZER)
    target_compile_options(fuzz_dissect_${target} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_dissect_${target} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_dissect_${target} PRIVATE wirelens_core)
  endforeach()
endif()

# Summaries against tcpdump on live traffic inside test namespaces (root only).
wirelens_core_test(dissect_live_test ${CMAKE_CURRENT_LIST_DIR}/dissect_live_test.cpp)
target_link_libraries(dissect_live_test PRIVATE wirelens_netns_fixture)

# The decode where the user sees it: the print line, the Info column and the details pane.
wirelens_core_test(packet_line_test ${CMAKE_CURRENT_LIST_DIR}/packet_line_test.cpp)
wirelens_qt_test(packet_details_test ${CMAKE_CURRENT_LIST_DIR}/packet_details_test.cpp)
