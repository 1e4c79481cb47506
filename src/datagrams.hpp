// What a socket tells of its datagrams: the errors the system reports about those it sent,
// and when each one it received arrived.
#pragma once

#include "protocol.hpp"
#include "target.hpp"

#include <cstddef>
#include <span>

#include <sys/types.h>

/// What the system had queued on a socket about datagrams it sent.
struct queued_errors {
    bool any = false;
    int unreachable = 0; // the error number of the first saying the target is unreachable
};

/// Has the system queue on `sock`, of address `family`, the ICMP errors about the datagrams
/// it sends (a closed port, say), for take_error; an IPv6 socket meets IPv4's too, when its
/// target is an IPv4-mapped address. Returns 0, or -1 with errno set.
int report_errors(int sock, int family);

/// Opens a non-blocking datagram socket of `family` that reports errors about the datagrams it
/// sends and stamps those it receives, with `room` bytes for them when more than 0. Returns
/// it, or -1 with errno set.
int open_datagram_socket(int family, int room);

/// Takes the next error that the system has queued on `sock`: `about` is where the datagram
/// that met it was going, `unreachable` the error's number when it says that that address
/// cannot be reached (see take_errors), or 0. Returns whether there was one.
bool take_error(int sock, target &about, int &unreachable);

/// Takes every error that the system has queued on `sock`. Only an ICMP "destination
/// unreachable" (but "fragmentation needed"), or an ICMPv6 one, about a datagram sent to `to`
/// counts as unreachable. Leaves errno alone.
queued_errors take_errors(int sock, const target &to);

/// Has the system stamp each datagram that reaches `sock` with when it came, so that one that
/// came after its bound is told from one that telk got to late; `with_each`: handing the
/// stamp over with the datagram, for receive_stamped. Where it cannot, every datagram counts
/// as come when telk got to it.
void stamp_arrivals(int sock, bool with_each);

/// When the datagram just received on `sock` reached it, by its stamp; now when it has none.
instant arrival_of_last(int sock);

/// Receives one datagram from `sock` into `room`, cut to its size, without waiting unless
/// `wait`, and sets `arrived` to when it reached the socket (now, where it has no stamp), and
/// `from`, unless null, to who sent it. Returns recvmsg's result.
ssize_t receive_stamped(int sock, std::span<char> room, bool wait, instant &arrived,
                        target *from = nullptr);
