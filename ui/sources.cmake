# The main window, the about box, and the main window's routines that live with
# the subsystem they serve.
target_sources(wirelens_qt PRIVATE
  ui/form_main.cpp ui/form_main.h ui/form_main_parts.h
  ui/commands.cpp
  ui/frm_about.cpp ui/frm_about.h
  ui/resources.qrc
  packets/packet_rows.cpp
  capture/capture_control.cpp
  views/detail_handlers.cpp)

# Fallback address of the About box's link when no README is found beside the executable.
set_source_files_properties(ui/frm_about.cpp PROPERTIES
  COMPILE_DEFINITIONS "WIRELENS_SOURCE_README=\"${CMAKE_CURRENT_SOURCE_DIR}/README.md\"")

add_executable(wirelens ui/main.cpp)
target_link_libraries(wirelens PRIVATE wirelens_qt)
target_compile_definitions(wirelens PRIVATE WIRELENS_VERSION="${PROJECT_VERSION}")
