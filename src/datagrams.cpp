// The socket's error reports and arrival stamps.
#include "datagrams.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <linux/errqueue.h>
#include <linux/sockios.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

/// Whether `a` and `b` are the same address and port.
bool same_address(const target &a, const target &b)
{
    if (a.family() != b.family()) return false;
    if (a.family() == AF_INET6)
        return a.address.v6.sin6_port == b.address.v6.sin6_port &&
               std::memcmp(&a.address.v6.sin6_addr, &b.address.v6.sin6_addr,
                           sizeof a.address.v6.sin6_addr) == 0;
    return a.address.v4.sin_port == b.address.v4.sin_port &&
           a.address.v4.sin_addr.s_addr == b.address.v4.sin_addr.s_addr;
}

/// Whether `error`, about a datagram sent to `about`, says that `to` cannot be reached.
/// "Fragmentation needed", and ICMPv6's "packet too big", only ask for smaller datagrams; any
/// other kind of ICMP error (time exceeded, a redirect) says nothing about the target.
bool says_unreachable(const sock_extended_err &error, const target &about, const target &to)
{
    const bool unreachable =
        (error.ee_origin == SO_EE_ORIGIN_ICMP && error.ee_type == ICMP_DEST_UNREACH &&
         error.ee_code != ICMP_FRAG_NEEDED) ||
        (error.ee_origin == SO_EE_ORIGIN_ICMP6 && error.ee_type == ICMP6_DST_UNREACH);
    return unreachable && same_address(about, to);
}

/// Whether `header` holds the report of an ICMP or ICMPv6 error.
bool is_error_report(const cmsghdr *header)
{
    return (header->cmsg_level == SOL_IP && header->cmsg_type == IP_RECVERR) ||
           (header->cmsg_level == SOL_IPV6 && header->cmsg_type == IPV6_RECVERR);
}

/// `stamp`, on the system's clock, as a time on the monotonic one.
instant monotonic(const timespec &stamp)
{
    const auto wall = std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec);
    return now() - (wall_clock() - wall);
}

} // namespace

queued_errors take_errors(int sock, const target &to)
{
    const int saved_errno = errno;
    queued_errors found;
    for (;;) {
        target about; // where the datagram that met the error was going
        // the report, and the time stamp that comes with it
        alignas(cmsghdr)
            std::array<char, CMSG_SPACE(sizeof(sock_extended_err) + sizeof about.address) +
                                 CMSG_SPACE(sizeof(timespec))>
                control;
        msghdr message{};
        message.msg_name = &about.address;
        message.msg_namelen = sizeof about.address;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        if (recvmsg(sock, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break; // none left
        found.any = true;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        while (header != nullptr && !is_error_report(header))
            header = CMSG_NXTHDR(&message, header);
        if (header == nullptr) continue;
        sock_extended_err error;
        std::memcpy(&error, CMSG_DATA(header), sizeof error);
        if (found.unreachable == 0 && says_unreachable(error, about, to))
            found.unreachable = static_cast<int>(error.ee_errno);
    }
    errno = saved_errno;
    return found;
}

void stamp_arrivals(int sock, bool with_each)
{
    // The first ask for the stamp of the last datagram received (it finds none yet) has the
    // system stamp every datagram from then on, and a receive then builds no message for it.
    const int on = 1;
    timespec stamp{};
    if (with_each)
        setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    else
        ioctl(sock, SIOCGSTAMPNS, &stamp);
}

bool came_by(int sock, instant until)
{
    timespec stamp{};
    if (ioctl(sock, SIOCGSTAMPNS, &stamp) != 0) return true;
    return monotonic(stamp) <= until;
}

ssize_t receive_stamped(int sock, std::span<char> room, bool wait, instant &arrived)
{
    iovec data{room.data(), room.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec))> control;
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t got = recvmsg(sock, &message, wait ? 0 : MSG_DONTWAIT);
    arrived = now();
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); got >= 0 && header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SO_TIMESTAMPNS) continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
        arrived = std::min(arrived, monotonic(stamp));
    }
    return got;
}
