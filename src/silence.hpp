// Why a server stayed silent: a challenge asked of it on a socket of its own, and what the
// answer, or none, says of the silence.
#pragma once

#include "descriptor.hpp"
#include "protocol.hpp"
#include "target.hpp"

/// The family whose answer to the question `datagram` is, or unknown.
server_family family_answering(std::string_view datagram);

/// Says on standard error, in one line that names `to`, what the answers to the question tell
/// of a silence: `family` answered (unknown: none of a family), `answered` whether anything
/// did; with `signed_by_telk`, the request was signed because the second family answered.
void explain_silence(const target &to, server_family family, bool answered, bool signed_by_telk);

/// A question put to a server that has not answered a request: owns its socket.
class silence_probe {
  public:
    /// Asks `to` for a challenge, on a socket of its own: every family of servers answers
    /// that, and it runs nothing. Asks once; when the socket cannot be had, nothing is asked.
    void ask(const target &to);

    /// Whether ask was called.
    bool asked() const { return asked_; }

    /// The socket that the answer comes to, or -1.
    int fd() const { return fd_.get(); }

    /// Takes every answer that has come so far, and notes which family it shows. Returns
    /// that family: unknown while no answer of a family has come.
    server_family take_answers();

    /// Says on standard error, in one line that names `to`, what the answers to the question
    /// tell of the silence: which family of servers is there and why such a server says
    /// nothing, or that nothing answers at all; nothing when no question went out. With
    /// `signed_by_telk`, the request was signed because that family answered: its silence
    /// means a wrong password.
    void explain(const target &to, bool signed_by_telk);

  private:
    descriptor fd_;
    bool asked_ = false;
    bool answered_ = false; // something came, of a family or not
    server_family family_ = server_family::unknown;
};
