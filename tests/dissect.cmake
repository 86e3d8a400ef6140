# The true decode: fixtures, fuzz targets over a fixed corpus, and a live
# comparison with tcpdump.
wirelens_core_test(dissect_test ${CMAKE_CURRENT_LIST_DIR}/dissect_test.cpp)
