// The request forms: how a command and the password are laid out in a request datagram.
#pragma once

#include <algorithm>
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

/// Lays out a signed or hashed request, as lay_request does.
std::size_t lay_formed_request(std::span<char> buffer, request_form form,
                               std::string_view password, std::string_view command,
                               std::string_view challenge);

/// Lays out the request that sends `command` with `password` in `form` at the start of
/// `buffer`; `challenge` is the server's, for a request signed with it. Returns the
/// request's length; when that is more than `buffer` holds, nothing is laid out.
inline std::size_t lay_request(std::span<char> buffer, request_form form,
                               std::string_view password, std::string_view command,
                               std::string_view challenge = {})
{
    if (!sends_password(form)) return lay_formed_request(buffer, form, password, command, challenge);
    // Laid out by hand, and inline: the piped run sends thousands of these, and a copy of a
    // constant size, or of one byte, costs no call.
    constexpr std::string_view opening{"\xff\xff\xff\xffrcon ", 9};
    const std::size_t length = opening.size() + password.size() + 1 + command.size();
    if (length > buffer.size()) return length;
    char *at = std::copy(opening.begin(), opening.end(), buffer.data());
    at = std::copy(password.begin(), password.end(), at);
    *at++ = ' ';
    std::copy(command.begin(), command.end(), at);
    return length;
}
