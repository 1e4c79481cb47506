// Why a server stayed silent: a challenge asked of it on a socket of its own, and what the
// answer, or none, says of the silence.
#pragma once

#include "protocol.hpp"
#include "target.hpp"

/// The family whose answer to the question `datagram` is, or unknown.
server_family family_answering(std::string_view datagram);

/// Says on standard error, in one line that names `to`, what the answers to the question tell
/// of a silence: `family` answered (unknown: none of a family), `answered` whether anything
/// did; with `signed_by_telk`, the request was signed because the second family answered.
void explain_silence(const target &to, server_family family, bool answered, bool signed_by_telk);

/// Asks `to` for a challenge from `sock`: every family of servers answers that, and it runs
/// nothing. Returns whether the question went out.
bool ask_question(int sock, const target &to);

/// Takes the next answer waiting on `sock`, without waiting: `family` is the family it shows
/// (unknown: none). Returns whether there was one.
bool take_answer(int sock, server_family &family);
