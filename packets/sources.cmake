target_sources(wirelens_core PRIVATE
  packets/available_memory.cpp packets/available_memory.h
  packets/capture_time.cpp packets/capture_time.h
  packets/capture_session.cpp packets/capture_session.h
  packets/clv.cpp packets/clv.h
  packets/display_filter.cpp packets/display_filter.h
  packets/list_view_mode.cpp packets/list_view_mode.h
  packets/packet_line.cpp packets/packet_line.h
  packets/packet_find.cpp packets/packet_find.h
  packets/packet_sort.cpp packets/packet_sort.h
  packets/packet_store.cpp packets/packet_store.h
  packets/row_array.cpp packets/row_array.h
  packets/row_export.cpp packets/row_export.h)
# Display filters are compiled and run by libpcap.
target_link_libraries(wirelens_core PRIVATE PkgConfig::PCAP)
target_sources(wirelens_qt PRIVATE
  packets/packet_list_model.cpp packets/packet_list_model.h)
