# Capture engine: decoding, the raw datagram store, local addresses and their
# choice, the helper's stream, link-layer removal and the socket module (no
# Qt); read notifications and the address dialog (Qt).
target_sources(wirelens_core PRIVATE
  capture/byte_reader.h
  capture/huge_chunk.cpp capture/huge_chunk.h
  capture/file_mappings.cpp capture/file_mappings.h
  capture/decode.cpp capture/decode.h
  capture/local_addresses.cpp capture/local_addresses.h
  capture/raw_datagram_store.cpp capture/raw_datagram_store.h
  capture/choose_local_ip.cpp capture/choose_local_ip.h
  capture/capture_filter_history.cpp capture/capture_filter_history.h
  capture/capture_stream.cpp capture/capture_stream.h
  capture/capture_pump.cpp capture/capture_pump.h
  capture/shared_ring.cpp capture/shared_ring.h
  capture/link_layer.cpp capture/link_layer.h
  capture/helper_access.cpp capture/helper_access.h
  capture/thread_priority.cpp capture/thread_priority.h
  capture/mdlwinsock.cpp capture/mdlwinsock.h)
target_sources(wirelens_qt PRIVATE
  capture/async_select.cpp capture/async_select.h
  capture/form_ip.cpp capture/form_ip.h)

# An installed wirelens finds its helper relative to its own folder, so the
# installed tree can move (cmake --install --prefix, a package); a build-folder
# one looks first in the root-owned folder that ./scripts/run installs into.
file(RELATIVE_PATH WIRELENS_HELPER_FROM_BIN
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBEXECDIR}/wirelens)
set(WIRELENS_SYSTEM_HELPER_DIR /usr/local/libexec/wirelens CACHE PATH
  "Root-owned folder of the capture helper that ./scripts/run installs")
set_source_files_properties(capture/helper_access.cpp PROPERTIES COMPILE_DEFINITIONS
  "WIRELENS_HELPER_FROM_BIN=\"${WIRELENS_HELPER_FROM_BIN}\";WIRELENS_SYSTEM_HELPER_DIR=\"${WIRELENS_SYSTEM_HELPER_DIR}\"")
