# Capture files: reading 1,000,000 packets and writing them as pcapng and pcap;
# open_file.sh adds tcpdump's and tshark's times on the same file.
add_executable(files_bench ${CMAKE_CURRENT_LIST_DIR}/files_bench.cpp)
target_link_libraries(files_bench PRIVATE wirelens_core benchmark::benchmark)
