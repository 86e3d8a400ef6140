wirelens_core_test(decode_test decode_test.cpp)
wirelens_core_test(packet_store_test packet_store_test.cpp)
wirelens_qt_test(packet_list_test packet_list_test.cpp)
wirelens_core_test(capture_session_test capture_session_test.cpp session_limits_test.cpp)
# The datagram store on file and in memory, a full disk included.
wirelens_core_test(raw_datagram_store_test raw_datagram_store_test.cpp file_mappings_test.cpp)
# Display filters, sorting and finding; the filter tests compare with tcpdump.
wirelens_core_test(packet_filter_test display_filter_test.cpp packet_sort_test.cpp packet_find_test.cpp row_array_test.cpp
  row_export_test.cpp)
target_link_libraries(packet_filter_test PRIVATE PkgConfig::PCAP)
