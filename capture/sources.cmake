# Capture engine: decoding, the raw datagram store, local addresses and their
# choice, the helper's stream, link-layer removal and the socket module (no
# Qt); read notifications and the address dialog (Qt).
target_sources(wirelens_core PRIVATE
  capture/byte_reader.h
  capture/decode.cpp capture/decode.h
  capture/local_addresses.cpp capture/local_addresses.h
  capture/raw_datagram_store.cpp capture/raw_datagram_store.h
  capture/choose_local_ip.cpp capture/choose_local_ip.h
  capture/capture_stream.cpp capture/capture_stream.h
  capture/link_layer.cpp capture/link_layer.h
  capture/mdlwinsock.cpp capture/mdlwinsock.h)
target_sources(wirelens_qt PRIVATE
  capture/async_select.cpp capture/async_select.h
  capture/form_ip.cpp capture/form_ip.h)
