// The values of the socket constants on POSIX systems (Linux numbering). Plain numbers, so that
// the shared stack header needs no system header; IdStackConstsPosix.cpp checks them against the
// system's own.
#pragma once

namespace Id {

constexpr int Id_PF_INET4 = 2;
constexpr int Id_PF_INET6 = 10;
constexpr int Id_SOCK_STREAM = 1;
constexpr int Id_SOCK_DGRAM = 2;
constexpr int Id_SOCK_RAW = 3;
constexpr int Id_IPPROTO_IP = 0;
constexpr int Id_IPPROTO_TCP = 6;
constexpr int Id_IPPROTO_UDP = 17;
constexpr int Id_IPPROTO_IPv6 = 41;
constexpr int Id_IPPROTO_ICMP = 1;
constexpr int Id_IPPROTO_ICMPV6 = 58;
constexpr int Id_SOL_SOCKET = 1;
constexpr int Id_SO_REUSEADDR = 2;
constexpr int Id_SO_KEEPALIVE = 9;
constexpr int Id_SO_BROADCAST = 6;
constexpr int Id_SO_TYPE = 3;
constexpr int Id_SO_ERROR = 4;
constexpr int Id_SO_SNDBUF = 7;
constexpr int Id_SO_RCVBUF = 8;
// Time-outs, given in milliseconds (an int value, whatever the system takes).
constexpr int Id_SO_SNDTIMEO = 21;
constexpr int Id_SO_RCVTIMEO = 20;
constexpr int Id_TCP_NODELAY = 1;
constexpr int Id_IP_TTL = 2;
constexpr int Id_IPV6_UNICAST_HOPS = 16;
constexpr int Id_IP_MULTICAST_TTL = 33;
constexpr int Id_IP_MULTICAST_LOOP = 34;
constexpr int Id_IP_ADD_MEMBERSHIP = 35;
constexpr int Id_IP_DROP_MEMBERSHIP = 36;
constexpr int Id_IPV6_MULTICAST_HOPS = 18;
constexpr int Id_IPV6_MULTICAST_LOOP = 19;
constexpr int Id_IPV6_ADD_MEMBERSHIP = 20;
constexpr int Id_IPV6_DROP_MEMBERSHIP = 21;
// The control data a datagram receive can carry: packet information (the destination address
// and the interface it came in on, at these offsets of the IPv4 record; the IPv6 record has the
// address first and the index after it) and the hop limit.
constexpr int Id_IP_PKTINFO = 8;
constexpr int Id_IPV6_PKTINFO = 50;
constexpr int Id_IPV6_HOPLIMIT = 52;
constexpr int Id_PKTINFO_ADDR_OFFSET = 8;
constexpr int Id_PKTINFO_IFINDEX_OFFSET = 0;
// shutdown directions
constexpr int Id_SD_Recv = 0;
constexpr int Id_SD_Send = 1;
constexpr int Id_SD_Both = 2;

// A listening port whose earlier connections linger in TIME_WAIT can be bound again only with
// SO_REUSEADDR here; the option still refuses a port that another socket listens on.
constexpr bool Id_RebindNeedsReuseAddr = true;

}  // namespace Id
