// One remote-console exchange: a request datagram out, the reply datagrams in, the reply text
// to standard output.
#pragma once

#include <chrono>
#include <cstddef>
#include <span>
#include <string_view>

#include <netinet/in.h>
#include <time.h>

/// Room for one exchange: the request is laid out in it, then the reply received over it.
inline constexpr std::size_t k_exchange_size = 32768;

/// Longest wait for any one reply datagram unless the command line says otherwise.
inline constexpr std::chrono::microseconds k_reply_wait = std::chrono::seconds(10);

/// `span` as the system's timespec, for nanosleep and ppoll.
inline timespec as_timespec(std::chrono::microseconds span)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return {seconds.count(), std::chrono::nanoseconds(span - seconds).count()};
}

/// Bounds every wait for a reply datagram on `sock` by `wait`, and has the system report an
/// ICMP error (a closed port) to the waiting receive at once instead of letting it time out.
/// Returns 0, or 1 after reporting the failed call on standard error.
int prepare_socket(int sock, std::chrono::microseconds wait);

/// Sends "rcon", `password` and `command` as one request datagram from `sock` to `address`
/// (network byte order) at the low 16 bits of `port`, waits for the reply and prints it.
/// With `quiet` zero the reply ends at a newline; otherwise it ends once `quiet` has passed
/// without a datagram, later datagrams losing their repeated opening.
/// Returns 0 once a reply was printed or refused for its header, or 1 after reporting
/// why the request could not be sent or no reply came.
int send_command(int sock, in_addr_t address, int port, std::string_view password,
                 std::string_view command, std::chrono::microseconds quiet = {});

/// Writes everything behind the connectionless header of `reply`, then one newline, to
/// standard output; without that header, writes a complaint to standard error instead.
void print_buffer(std::span<const char> reply);
