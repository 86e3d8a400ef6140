# The privileged capture helper: libpcap and libcap, no Qt.
add_executable(wirelens-capture capture/helper/wirelens_capture.cpp)
target_link_libraries(wirelens-capture PRIVATE wirelens_core PkgConfig::PCAP PkgConfig::LIBCAP)
