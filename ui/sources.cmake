# The main window's routines live with the subsystem they serve.
target_sources(wirelens_qt PRIVATE
  ui/form_main.cpp ui/form_main.h ui/form_main_parts.h
  ui/form_main_defaults.cpp
  ui/commands.cpp
  ui/resources.qrc
  packets/packet_rows.cpp
  capture/capture_control.cpp
  views/detail_handlers.cpp)

add_executable(wirelens ui/main.cpp)
target_link_libraries(wirelens PRIVATE wirelens_qt)
