// Why a server stayed silent: a challenge asked of it on a socket of its own, and what the
// answer, or none, says of the silence.
#pragma once

#include "target.hpp"

/// A question put to a server that has not answered a request: owns its socket.
class silence_probe {
  public:
    silence_probe() = default;
    silence_probe(const silence_probe &) = delete;
    silence_probe &operator=(const silence_probe &) = delete;
    ~silence_probe();

    /// Asks `to` for a challenge, on a socket of its own: every family of servers answers
    /// that, and it runs nothing. Asks once; a failure to ask is left for explain to tell.
    void ask(const target &to);

    /// Whether ask was called.
    bool asked() const { return asked_; }

    /// Says on standard error, in one line that names `to`, what the answer to the question
    /// tells of the silence: which family of servers is there and why such a server says
    /// nothing, or that nothing answers at all.
    void explain(const target &to) const;

  private:
    int fd_ = -1;
    bool asked_ = false;
};
