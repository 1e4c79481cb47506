// A reply's text in JSON, for programs that read telk's output.
#pragma once

#include "growable.hpp"

#include <string_view>

/// Appends `text` to `into` as a JSON string, quotes included, that a JSON parser reads back
/// to the same characters: quotes, backslashes and control characters escaped (the C1 ones,
/// U+0080 to U+009F, too, which a terminal may obey), valid UTF-8 whole, and any other byte as
/// the Latin-1 character of its value.
void append_json_string(text_buffer &into, std::string_view text);
