# Capture files: the pcap and pcapng reader, the writers, conversion (no Qt).
target_sources(wirelens_core PRIVATE
  files/capture_file.cpp files/capture_file.h
  files/capture_file_parser.cpp files/capture_file_parser.h
  files/atomic_file.cpp files/atomic_file.h
  files/capture_file_writer.cpp files/capture_file_writer.h
  files/capture_file_io.cpp files/capture_file_io.h
  files/session_files.cpp files/session_files.h
  files/command_line_tasks.cpp files/command_line_tasks.h)
# The pcap writer uses libpcap's dump functions.
target_link_libraries(wirelens_core PUBLIC PkgConfig::PCAP)
