# The capture engine's stream, link-layer removal and socket module, and the
# privileged capture helper (no Qt: libpcap and libcap only).
target_sources(wirelens_core PRIVATE
  capture/capture_stream.cpp capture/capture_stream.h
  capture/link_layer.cpp capture/link_layer.h
  capture/mdlwinsock.cpp capture/mdlwinsock.h)

add_executable(wirelens-capture capture/helper/wirelens_capture.cpp)
target_link_libraries(wirelens-capture PRIVATE wirelens_core PkgConfig::PCAP PkgConfig::LIBCAP)
