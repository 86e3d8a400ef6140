target_sources(wirelens_core PRIVATE
  packets/capture_time.cpp packets/capture_time.h
  packets/capture_session.cpp packets/capture_session.h
  packets/clv.cpp packets/clv.h
  packets/list_view_mode.cpp packets/list_view_mode.h
  packets/packet_store.cpp packets/packet_store.h)
target_sources(wirelens_qt PRIVATE
  packets/packet_list_model.cpp packets/packet_list_model.h)
