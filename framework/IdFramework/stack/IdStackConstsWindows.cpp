// The stack header spells the socket constants as numbers; here they meet the system's own.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <IdFramework/stack/IdStack.h>

namespace Id {

static_assert(Id_PF_INET4 == AF_INET);
static_assert(Id_PF_INET6 == AF_INET6);
static_assert(Id_SOCK_STREAM == SOCK_STREAM);
static_assert(Id_SOCK_DGRAM == SOCK_DGRAM);
static_assert(Id_SOCK_RAW == SOCK_RAW);
static_assert(Id_IPPROTO_IP == IPPROTO_IP);
static_assert(Id_IPPROTO_TCP == IPPROTO_TCP);
static_assert(Id_IPPROTO_UDP == IPPROTO_UDP);
static_assert(Id_IPPROTO_IPv6 == IPPROTO_IPV6);
static_assert(Id_IPPROTO_ICMP == IPPROTO_ICMP);
static_assert(Id_IPPROTO_ICMPV6 == IPPROTO_ICMPV6);
static_assert(Id_SOL_SOCKET == SOL_SOCKET);
static_assert(Id_SO_REUSEADDR == SO_REUSEADDR);
static_assert(Id_SO_KEEPALIVE == SO_KEEPALIVE);
static_assert(Id_SO_BROADCAST == SO_BROADCAST);
static_assert(Id_SO_TYPE == SO_TYPE);
static_assert(Id_SO_ERROR == SO_ERROR);
static_assert(Id_SO_SNDBUF == SO_SNDBUF);
static_assert(Id_SO_RCVBUF == SO_RCVBUF);
static_assert(Id_SO_SNDTIMEO == SO_SNDTIMEO);
static_assert(Id_SO_RCVTIMEO == SO_RCVTIMEO);
static_assert(Id_TCP_NODELAY == TCP_NODELAY);
static_assert(Id_IP_TTL == IP_TTL);
static_assert(Id_IPV6_UNICAST_HOPS == IPV6_UNICAST_HOPS);
static_assert(Id_IP_MULTICAST_TTL == IP_MULTICAST_TTL);
static_assert(Id_IP_MULTICAST_LOOP == IP_MULTICAST_LOOP);
static_assert(Id_IP_ADD_MEMBERSHIP == IP_ADD_MEMBERSHIP);
static_assert(Id_IP_DROP_MEMBERSHIP == IP_DROP_MEMBERSHIP);
static_assert(Id_IPV6_MULTICAST_HOPS == IPV6_MULTICAST_HOPS);
static_assert(Id_IPV6_MULTICAST_LOOP == IPV6_MULTICAST_LOOP);
static_assert(Id_IPV6_ADD_MEMBERSHIP == IPV6_JOIN_GROUP);
static_assert(Id_IPV6_DROP_MEMBERSHIP == IPV6_LEAVE_GROUP);
static_assert(Id_IP_PKTINFO == IP_PKTINFO);
static_assert(Id_IPV6_PKTINFO == IPV6_PKTINFO);
static_assert(Id_IPV6_HOPLIMIT == IPV6_HOPLIMIT);
static_assert(Id_SD_Recv == SD_RECEIVE);
static_assert(Id_SD_Send == SD_SEND);
static_assert(Id_SD_Both == SD_BOTH);

}  // namespace Id
