// Splits one line of a scenario into tokens: bare words, double-quoted
// strings with C escapes, and KEY=VALUE pairs. '#' outside a string starts a
// comment. Columns are 1-based and point at the first character of a token
// (for a pair, at its value's first character in value_column).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "machine/vtime.h"

namespace hs::tool {

struct Token {
  std::string key;       // "" unless the token was KEY=VALUE
  std::string text;      // the word, the decoded string, or the pair's value
  bool quoted = false;   // text came from a "..." string
  int column = 0;        // where the token starts
  int value_column = 0;  // where text starts (== column unless a pair)
};

struct LexError {
  int column = 0;
  std::string message;
};

struct LexedLine {
  std::vector<Token> tokens;
  std::optional<LexError> error;
};

LexedLine lex_line(std::string_view line);

// Value conversions used by the parser; nullopt when the text is not one.
// Numbers are decimal or 0x-hex and fit in 64 bits.
std::optional<uint64_t> parse_number(std::string_view text);
// "5ms", "2s", "100us", "1.5s", "0": a virtual duration in 100 ns units.
std::optional<VTime> parse_duration(std::string_view text);
// "41540D" or "41 54 0D" (spaces allowed between bytes): the bytes.
std::optional<std::string> parse_hex(std::string_view text);

}  // namespace hs::tool
