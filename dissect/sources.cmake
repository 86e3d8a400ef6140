# The true decode: one file per protocol, each reading through the bounds-checked
# reader, giving a one-line summary and a field tree (no Qt).
target_sources(wirelens_core PRIVATE
  dissect/dissect.cpp dissect/dissect.h
  dissect/tree.h dissect/text.h
  dissect/ipv4.cpp dissect/ipv4.h
  dissect/tcp.cpp dissect/tcp.h
  dissect/udp.cpp dissect/udp.h
  dissect/dns.cpp dissect/dns.h
  dissect/dhcp.cpp dissect/dhcp.h
  dissect/ntp.cpp dissect/ntp.h
  dissect/icmp.cpp dissect/icmp.h
  dissect/igmp.cpp dissect/igmp.h
  dissect/protocol_names.cpp dissect/protocol_names.h)
