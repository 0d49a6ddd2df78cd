// The values of the socket constants on Windows (Winsock numbering). Plain numbers, so that the
// shared stack header needs no system header; IdStackConstsWindows.cpp checks them against the
// system's own.
#pragma once

namespace Id {

constexpr int Id_PF_INET4 = 2;
constexpr int Id_PF_INET6 = 23;
constexpr int Id_SOCK_STREAM = 1;
constexpr int Id_SOCK_DGRAM = 2;
constexpr int Id_SOCK_RAW = 3;
constexpr int Id_IPPROTO_IP = 0;
constexpr int Id_IPPROTO_TCP = 6;
constexpr int Id_IPPROTO_UDP = 17;
constexpr int Id_IPPROTO_IPv6 = 41;
constexpr int Id_IPPROTO_ICMP = 1;
constexpr int Id_IPPROTO_ICMPV6 = 58;
constexpr int Id_SOL_SOCKET = 0xffff;
constexpr int Id_SO_REUSEADDR = 4;
constexpr int Id_SO_KEEPALIVE = 8;
constexpr int Id_SO_BROADCAST = 32;
constexpr int Id_SO_TYPE = 0x1008;
constexpr int Id_SO_ERROR = 0x1007;
constexpr int Id_SO_SNDBUF = 0x1001;
constexpr int Id_SO_RCVBUF = 0x1002;
// Time-outs, given in milliseconds (an int value, whatever the system takes).
constexpr int Id_SO_SNDTIMEO = 0x1005;
constexpr int Id_SO_RCVTIMEO = 0x1006;
constexpr int Id_TCP_NODELAY = 1;
constexpr int Id_IP_TTL = 4;
constexpr int Id_IPV6_UNICAST_HOPS = 4;
constexpr int Id_IP_MULTICAST_TTL = 10;
constexpr int Id_IP_MULTICAST_LOOP = 11;
constexpr int Id_IP_ADD_MEMBERSHIP = 12;
constexpr int Id_IP_DROP_MEMBERSHIP = 13;
constexpr int Id_IPV6_MULTICAST_HOPS = 10;
constexpr int Id_IPV6_MULTICAST_LOOP = 11;
constexpr int Id_IPV6_ADD_MEMBERSHIP = 12;
constexpr int Id_IPV6_DROP_MEMBERSHIP = 13;
// The control data a datagram receive can carry: packet information (the destination address
// and the interface it came in on, at these offsets of the IPv4 record; the IPv6 record has the
// address first and the index after it) and the hop limit.
constexpr int Id_IP_PKTINFO = 19;
constexpr int Id_IPV6_PKTINFO = 19;
constexpr int Id_IPV6_HOPLIMIT = 21;
constexpr int Id_PKTINFO_ADDR_OFFSET = 0;
constexpr int Id_PKTINFO_IFINDEX_OFFSET = 4;
// shutdown directions
constexpr int Id_SD_Recv = 0;
constexpr int Id_SD_Send = 1;
constexpr int Id_SD_Both = 2;

// A port whose earlier connections linger in TIME_WAIT can be bound again without an option here;
// SO_REUSEADDR would even let a second socket take a port that another one listens on.
constexpr bool Id_RebindNeedsReuseAddr = false;

}  // namespace Id
