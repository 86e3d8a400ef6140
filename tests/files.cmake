# Capture files: the reader on crafted bytes and damage, the writers and
# conversion, and round trips through tcpdump, tshark, editcap and capinfos
# (tcpdump's live captures run inside test namespaces).
wirelens_core_test(files_test
  ${CMAKE_CURRENT_LIST_DIR}/capture_file_parser_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture_file_writer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture_file_tools_test.cpp)
target_link_libraries(files_test PRIVATE wirelens_netns_fixture)
