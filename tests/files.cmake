# Capture files: the reader on crafted bytes and damage, the writers and
# conversion, and round trips through tcpdump, tshark, editcap and capinfos.
wirelens_core_test(files_test
  ${CMAKE_CURRENT_LIST_DIR}/capture_file_parser_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture_file_writer_test.cpp)
