target_sources(wirelens_core PRIVATE
  capture/byte_reader.h
  capture/decode.cpp capture/decode.h
  capture/local_addresses.cpp capture/local_addresses.h
  capture/raw_datagram_store.cpp capture/raw_datagram_store.h)
