#include "tools/hsbridge/lexer.h"

#include <cctype>
#include <limits>

namespace hs::tool {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_key_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
}

// Reads a quoted string starting at line[pos] == '"'. On success advances pos
// past the closing quote and stores the decoded bytes.
std::optional<LexError> read_string(std::string_view line, size_t& pos, std::string& out) {
  const size_t start = pos;
  ++pos;
  while (pos < line.size()) {
    const char c = line[pos];
    if (c == '"') {
      ++pos;
      return std::nullopt;
    }
    if (c != '\\') {
      out.push_back(c);
      ++pos;
      continue;
    }
    const int escape_column = static_cast<int>(pos) + 1;
    if (pos + 1 >= line.size()) break;
    const char e = line[pos + 1];
    pos += 2;
    switch (e) {
      case 'r':
        out.push_back('\r');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 't':
        out.push_back('\t');
        break;
      case '0':
        out.push_back('\0');
        break;
      case 'a':
        out.push_back('\a');
        break;
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'v':
        out.push_back('\v');
        break;
      case 'e':
        out.push_back('\x1b');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case '"':
        out.push_back('"');
        break;
      case '\'':
        out.push_back('\'');
        break;
      case 'x': {
        const int hi = pos < line.size() ? hex_value(line[pos]) : -1;
        const int lo = pos + 1 < line.size() ? hex_value(line[pos + 1]) : -1;
        if (hi < 0 || lo < 0) return LexError{escape_column, "\\x needs two hex digits"};
        out.push_back(static_cast<char>(hi * 16 + lo));
        pos += 2;
        break;
      }
      default:
        return LexError{escape_column, std::string("unknown escape \\") + e};
    }
  }
  return LexError{static_cast<int>(start) + 1, "unterminated string"};
}

}  // namespace

LexedLine lex_line(std::string_view line) {
  LexedLine result;
  size_t pos = 0;
  while (true) {
    while (pos < line.size() && is_space(line[pos])) ++pos;
    if (pos >= line.size() || line[pos] == '#') break;
    Token token;
    token.column = static_cast<int>(pos) + 1;
    // KEY=VALUE: a key of word characters directly followed by '='.
    size_t key_end = pos;
    while (key_end < line.size() && is_key_char(line[key_end])) ++key_end;
    if (key_end > pos && key_end < line.size() && line[key_end] == '=') {
      token.key = std::string(line.substr(pos, key_end - pos));
      pos = key_end + 1;
    }
    token.value_column = static_cast<int>(pos) + 1;
    if (pos < line.size() && line[pos] == '"') {
      token.quoted = true;
      if (auto error = read_string(line, pos, token.text)) {
        result.error = error;
        return result;
      }
      if (pos < line.size() && !is_space(line[pos]) && line[pos] != '#') {
        result.error = LexError{static_cast<int>(pos) + 1, "expected a space after the string"};
        return result;
      }
    } else {
      const size_t start = pos;
      while (pos < line.size() && !is_space(line[pos]) && line[pos] != '#') {
        if (line[pos] == '"') {
          result.error = LexError{static_cast<int>(pos) + 1, "unexpected '\"' inside a word"};
          return result;
        }
        ++pos;
      }
      token.text = std::string(line.substr(start, pos - start));
      if (!token.key.empty() && token.text.empty()) {
        result.error = LexError{token.column, "missing value after '" + token.key + "='"};
        return result;
      }
    }
    result.tokens.push_back(std::move(token));
  }
  return result;
}

std::optional<uint64_t> parse_number(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint64_t value = 0;
  for (char c : text) {
    const int digit = base == 16 ? hex_value(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (digit < 0) return std::nullopt;
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

std::optional<VTime> parse_duration(std::string_view text) {
  size_t digits = 0;
  while (digits < text.size() &&
         (std::isdigit(static_cast<unsigned char>(text[digits])) || text[digits] == '.'))
    ++digits;
  const std::string_view number = text.substr(0, digits);
  const std::string_view unit = text.substr(digits);
  VTime scale = 0;
  if (unit == "s")
    scale = kSecond;
  else if (unit == "ms")
    scale = kMillisecond;
  else if (unit == "us")
    scale = kMicrosecond;
  else if (unit.empty() && number == "0")
    return 0;
  else
    return std::nullopt;
  const size_t dot = number.find('.');
  const std::string_view whole = number.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view{} : number.substr(dot + 1);
  if (whole.empty() || fraction.find('.') != std::string_view::npos) return std::nullopt;
  if (dot != std::string_view::npos && fraction.empty()) return std::nullopt;
  const auto w = parse_number(whole);
  if (!w || *w > static_cast<uint64_t>(std::numeric_limits<VTime>::max() / scale / 2))
    return std::nullopt;
  VTime value = static_cast<VTime>(*w) * scale;
  VTime place = scale;
  for (char c : fraction) {
    place /= 10;
    if (place == 0) {
      if (c != '0') return std::nullopt;  // finer than 100 ns
      continue;
    }
    value += (c - '0') * place;
  }
  return value;
}

std::optional<std::string> parse_hex(std::string_view text) {
  std::string bytes;
  int pending = -1;
  for (char c : text) {
    if (is_space(c)) {
      if (pending >= 0) return std::nullopt;  // odd digit count before a space
      continue;
    }
    const int v = hex_value(c);
    if (v < 0) return std::nullopt;
    if (pending < 0) {
      pending = v;
    } else {
      bytes.push_back(static_cast<char>(pending * 16 + v));
      pending = -1;
    }
  }
  if (pending >= 0) return std::nullopt;
  return bytes;
}

}  // namespace hs::tool
