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

/// Whether `error` says that the address its datagram went to cannot be reached.
/// "Fragmentation needed", and ICMPv6's "packet too big", only ask for smaller datagrams; any
/// other kind of ICMP error (time exceeded, a redirect) says nothing about the target.
bool says_unreachable(const sock_extended_err &error)
{
    return (error.ee_origin == SO_EE_ORIGIN_ICMP && error.ee_type == ICMP_DEST_UNREACH &&
            error.ee_code != ICMP_FRAG_NEEDED) ||
           (error.ee_origin == SO_EE_ORIGIN_ICMP6 && error.ee_type == ICMP6_DST_UNREACH);
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

bool take_error(int sock, target &about, int &unreachable)
{
    // the report, and the time stamp that comes with it
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(sock_extended_err) + sizeof about.address) +
                                          CMSG_SPACE(sizeof(timespec))>
        control;
    msghdr message{};
    message.msg_name = &about.address;
    message.msg_namelen = sizeof about.address;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    unreachable = 0;
    if (recvmsg(sock, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return false; // none left
    about.length = message.msg_namelen;
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    while (header != nullptr && !is_error_report(header))
        header = CMSG_NXTHDR(&message, header);
    if (header == nullptr) return true;
    sock_extended_err error;
    std::memcpy(&error, CMSG_DATA(header), sizeof error);
    if (says_unreachable(error)) unreachable = static_cast<int>(error.ee_errno);
    return true;
}

queued_errors take_errors(int sock, const target &to)
{
    const int saved_errno = errno;
    queued_errors found;
    target about; // where the datagram that met the error was going
    for (int unreachable = 0; take_error(sock, about, unreachable);) {
        found.any = true;
        if (found.unreachable == 0 && unreachable != 0 && compare_targets(about, to) == 0)
            found.unreachable = unreachable;
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

instant arrival_of_last(int sock)
{
    timespec stamp{};
    if (ioctl(sock, SIOCGSTAMPNS, &stamp) != 0) return now();
    return monotonic(stamp);
}

ssize_t receive_stamped(int sock, std::span<char> room, bool wait, instant &arrived, target *from)
{
    iovec data{room.data(), room.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec))> control;
    msghdr message{};
    if (from != nullptr) {
        message.msg_name = &from->address;
        message.msg_namelen = sizeof from->address;
    }
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t got = recvmsg(sock, &message, wait ? 0 : MSG_DONTWAIT);
    arrived = now();
    if (from != nullptr) from->length = message.msg_namelen;
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); got >= 0 && header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SO_TIMESTAMPNS) continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
        arrived = std::min(arrived, monotonic(stamp));
    }
    return got;
}

int report_errors(int sock, int family)
{
    const int on = 1;
    if (setsockopt(sock, SOL_IP, IP_RECVERR, &on, sizeof on) != 0) return -1;
    return family == AF_INET6 ? setsockopt(sock, SOL_IPV6, IPV6_RECVERR, &on, sizeof on) : 0;
}

int open_datagram_socket(int family, int room)
{
    const int sock = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) return sock;
    report_errors(sock, family);
    stamp_arrivals(sock, true);
    if (room > 0) setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    return sock;
}
