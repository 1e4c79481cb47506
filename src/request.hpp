// The request forms: how a command and the password are laid out in a request datagram.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

/// How requests are laid out, and so which family of servers they are for.
enum class request_form {
    /// "rcon", the password and the command: what the first and third families take.
    rcon,
    /// The same, asked for by name (-s plain).
    plain,
    /// To the second family, "srcon HMAC-MD4 TIME": the command signed with the time of
    /// sending.
    signed_by_time,
    /// To the second family, "srcon HMAC-MD4 CHALLENGE": the command signed with a challenge
    /// that the server hands out first, in an exchange of its own within the same bound.
    signed_by_challenge,
    /// To the third family, "rcon" and a SHA-1 hash of the password, the time and the
    /// command's words, then the time and the command.
    hashed_by_time,
};

/// Whether requests in `form` carry the password itself.
inline bool sends_password(request_form form)
{
    return form == request_form::rcon || form == request_form::plain;
}

/// Lays out the request that sends `command` with `password` in `form` at the start of
/// `buffer`; `challenge` is the server's, for a request signed with it. Returns the
/// request's length; when that is more than `buffer` holds, nothing is laid out.
std::size_t lay_request(std::span<char> buffer, request_form form, std::string_view password,
                        std::string_view command, std::string_view challenge = {});
