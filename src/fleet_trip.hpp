// A server's round trips in a run of several: a small state, moved on by the events that the
// run's loop hands it (a datagram from the server, its answer to a question, its time coming).
#pragma once

#include "descriptor.hpp"
#include "exchange.hpp"
#include "fleet.hpp"
#include "fleet_output.hpp"
#include "growable.hpp"
#include "protocol.hpp"
#include "reply.hpp"
#include "round_trip.hpp"
#include "target_list.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include <sys/socket.h>

/// Holds the first line that a reply's later datagrams repeat.
inline constexpr std::size_t k_opening_size = 64;
inline constexpr std::size_t k_families = 2; // IPv4 and IPv6: a socket each

/// Which of the run's sockets serves servers of address `family`.
inline std::size_t family_slot(int family) { return family == AF_INET6 ? 1 : 0; }

/// Where a server's round trip stands.
enum class step : unsigned char {
    turn,      // waiting for its next command's turn (never: for input to bring one); its
               // last reply may still be open
    challenge, // waiting for the challenge to sign the request with
    reply,     // waiting for the reply, collecting it until quiet
    retry,     // turned away: waiting to send the request again, collecting what still comes
    done,
};

/// One server and its round trip in flight.
struct server {
    const member *who = nullptr;
    std::string_view label, password;
    server_state known;   // what the run knows of it, and how requests go to it
    std::size_t next = 0; // the command in flight, or the next to go
    step at = step::turn;
    instant timer{}; // when it next wants a look
    instant sent_at{}, deadline{}, probe_at{}, quiet_end{}, last_arrival{};
    int tries = 0;
    bool open = false;  // its last reply's end is not written yet
    bool asked = false; // the question why it is silent went out
    bool answered = false;
    server_family answer = server_family::unknown;
    bool failed = false;
    const char *reason = nullptr; // what failed, for the run's end; null: error says it
    int error = 0;
    sent_request sent; // to tell it sent back
    std::array<char, k_opening_size> opening{};
    reply_stream stream{};
    text_buffer text; // the reply's text as it came, openings left out
};

/// The run: its servers, found by address, its sockets and what it sends.
struct fleet {
    fleet(std::span<server> all, command_list &sent, const exchange_rules &how, fleet_output out)
        : servers(all), commands(sent), rules(how), output(out)
    {
    }

    std::span<server> servers;
    growable<server *> by_address; // sorted, to tell who sent a datagram
    std::array<descriptor, k_families> socks;
    std::array<descriptor, k_families> probes; // for the questions to silent servers
    command_list &commands;
    const exchange_rules &rules;
    fleet_output output;
    int status = 0;
};

/// Moves `s` on once its time (its timer) has come: its next command, the question why it is
/// silent, the end of its reply, a retry, or its time-out.
void on_time(fleet &f, server &s, instant now_at);

/// A datagram from `s` that reached the run's socket at `arrived`: its challenge, or a piece
/// of its reply, collected while the reply may still grow.
void on_datagram(fleet &f, server &s, std::string_view datagram, instant arrived);

/// The answer of `s` to the question why it is silent: it may change how requests go to it.
void on_answer(fleet &f, server &s, std::string_view datagram);

/// `s` cannot be reached (`error` says why, as the system's error report did): fails it while
/// it waits for an answer.
void on_unreachable(fleet &f, server &s, int error);

/// Ends the open reply of `s`: writes it out.
void end_open_reply(fleet &f, server &s);

/// Writes `s`'s label in front of a message on standard error.
inline void label_message(const server &s) { ::label_message(s.label); }

/// Takes the errors the system queued on `sock` about datagrams sent to the run's servers,
/// and tells each server of its own (see on_unreachable). Keeps errno.
void route_errors(fleet &f, int sock);
