# Packet detail views and the report file: core rendering without Qt, widget helpers in the Qt layer.
target_sources(wirelens_core PRIVATE
  views/hex_view.cpp views/hex_view.h
  views/report.cpp views/report.h)

target_sources(wirelens_qt PRIVATE
  views/packet_views_qt.cpp views/packet_views_qt.h
  # The About box lives with the main window's files but is listed here with the other views pieces.
  ui/frm_about.cpp ui/frm_about.h)

# Fallback address of the About box's link when no README is found beside the executable.
set_source_files_properties(ui/frm_about.cpp PROPERTIES
  COMPILE_DEFINITIONS "WIRELENS_SOURCE_README=\"${CMAKE_CURRENT_SOURCE_DIR}/README.md\"")
