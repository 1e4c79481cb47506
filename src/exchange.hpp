// One target's exchanges, one after another: its round trip driven by a receive that waits
// on the run's one socket.
#pragma once

#include "target.hpp"
#include "trip.hpp"

#include <string_view>

/// Readies the run for exchanges with `to` over `sock`, with `password`, under `rules` (which
/// the caller keeps): bounds a receive that waits by itself by the time a silent server is
/// asked why (the rest is waited for once it has been asked), has the system tell the socket
/// of ICMP errors about its datagrams (a closed port) instead of letting a wait time out, and
/// stamp each datagram's arrival; when collecting replies until quiet, gives the socket room
/// for a long reply's burst of datagrams. Returns 0, or 1 after reporting the failed call on
/// standard error.
int start_exchanges(int sock, const target &to, std::string_view password,
                    const exchange_rules &rules);

/// What the run knows of its target: its pace, its family and the form it wants.
server_state &known_of_target();

/// Sends `command` as one request datagram, once the pace allows, waits for the reply as the
/// rules say and prints it, each datagram's text as it comes when collecting. Only an ICMP
/// "destination unreachable" about a datagram sent to the target, arriving after the request
/// went out, fails an exchange; other errors are waited past. What reached the socket within
/// the bound counts, however late telk gets to it; any sender's datagram counts. A request
/// that the server turned away without running it (over its limit, or not in the form it
/// wants) is sent again within the bound, unprinted. Returns 0 once a reply was printed
/// (collected until quiet, its end is written by the next call or by end_reply), k_no_header
/// after complaining of its header, or 1 after reporting why the request could not be sent,
/// no reply came within the bound, the reply was the request sent back, or the server refused
/// the request (its reply is printed first); 1 too when told to end.
int send_command(std::string_view command);

/// Writes out the end of the last reply, if it is still open: what comes for it later is
/// dropped. Call before waiting for more commands, and at the end.
void end_reply();

/// Sends `command` as send_command does, in the run's form and pace, but its reply's text goes
/// into `reply`, nothing is said of it, and its failure fails nothing. Returns 0 when a reply
/// came.
[[gnu::cold]] int ask_aside(std::string_view command, text_buffer &reply);
