# The main window, the about box, and the window's routines for the packet list,
# the detail views and capture control, each a thin layer over the capture session.
target_sources(wirelens_qt PRIVATE
  ui/form_main.cpp ui/form_main.h ui/form_main_parts.h
  ui/capture_file_loader.cpp ui/capture_file_loader.h
  ui/command_line.cpp ui/command_line.h
  ui/commands.cpp
  ui/file_dialogs.cpp ui/file_dialogs.h
  ui/form_main_files.cpp
  ui/frm_about.cpp ui/frm_about.h
  ui/resources.qrc
  ui/form_main_packets.cpp
  ui/form_main_capture.cpp
  ui/form_main_views.cpp
  ui/form_main_filter.cpp
  ui/packet_row_delegate.cpp ui/packet_row_delegate.h
  ui/packet_table_view.cpp ui/packet_table_view.h
  ui/scroll_bar_paint_cache.cpp ui/scroll_bar_paint_cache.h
  ui/ascii_text_layout.cpp ui/ascii_text_layout.h
  ui/glyph_masks.cpp ui/glyph_masks.h)

# Fallback address of the About box's link when no README is found beside the executable.
set_source_files_properties(ui/frm_about.cpp PROPERTIES
  COMPILE_DEFINITIONS "WIRELENS_SOURCE_README=\"${CMAKE_CURRENT_SOURCE_DIR}/README.md\"")

target_compile_definitions(wirelens_qt PRIVATE WIRELENS_VERSION="${PROJECT_VERSION}")

add_executable(wirelens ui/main.cpp)
target_link_libraries(wirelens PRIVATE wirelens_qt)
