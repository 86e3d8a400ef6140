# Packet detail views and the report file: core rendering without Qt, widget helpers in the Qt layer.
target_sources(wirelens_core PRIVATE
  views/hex_view.cpp views/hex_view.h
  views/report.cpp views/report.h)
target_sources(wirelens_qt PRIVATE
  views/packet_views_qt.cpp views/packet_views_qt.h
  views/packet_details_qt.cpp views/packet_details_qt.h)
