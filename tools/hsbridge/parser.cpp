#include "tools/hsbridge/parser.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <map>
#include <set>

#include "tools/hsbridge/codes.h"
#include "tools/hsbridge/lexer.h"

namespace hs::tool {
namespace {

// A mistake on the current line; caught once per line.
struct Bad {
  int column;
  std::string message;
};

constexpr uint32_t kMaxTransfer = 1u << 20;  // largest read, write or buffer length

const std::set<std::string, std::less<>> kQuirks = {"none",        "silent",     "garbage",
                                                    "nul-first",   "split",      "lowercase",
                                                    "no-final-cr", "extra-line", "echo-twice"};

const std::vector<std::string_view> kPnpActions = {"query-stop",      "stop",   "cancel-stop",
                                                   "query-remove",    "remove", "cancel-remove",
                                                   "surprise-removal"};

std::string in_quotes(std::string_view text) { return "'" + std::string(text) + "'"; }

// What the parser knows from earlier lines.
struct ParseState {
  std::string base_dir;
  int start_line = 0;             // first `start`, 0: none yet
  int removed_line = 0;           // `pnp remove`, 0: not removed
  std::vector<std::string> open;  // open handles, oldest first
  std::set<std::string, std::less<>> closed;
  std::map<std::string, int, std::less<>> async_names;  // name -> line
  int auto_handles = 0;
};

class LineParser {
 public:
  LineParser(const std::vector<Token>& tokens, int line_length, ParseState& state)
      : tokens_(tokens), end_column_(line_length + 1), state_(state) {}

  Action parse() {
    const Token& command = next_word("a command");
    const std::string& name = command.text;
    static const std::set<std::string, std::less<>> kNeedDevice = {
        "start", "pnp", "power", "open", "close", "cleanup", "ioctl", "write", "read"};
    if (state_.removed_line != 0 && kNeedDevice.contains(name))
      throw Bad{command.column,
                "the device was removed on line " + std::to_string(state_.removed_line)};
    if (name == "node") return node(command);
    if (name == "registry") return registry(command);
    if (name == "handset") return handset();
    if (name == "port") return port(command);
    if (name == "start") return start();
    if (name == "pnp") return pnp();
    if (name == "power") return power();
    if (name == "open" || name == "close" || name == "cleanup") return handle_request(name);
    if (name == "ioctl") return ioctl();
    if (name == "write") return write();
    if (name == "read") return read();
    if (name == "wait") return wait();
    if (name == "sleep") return sleep();
    if (name == "line") return line();
    if (name == "expect") return expect();
    throw Bad{command.column, "unknown command " + in_quotes(name)};
  }

  int line_number = 0;

 private:
  bool at_end() const { return index_ >= tokens_.size(); }
  const Token* peek() const { return at_end() ? nullptr : &tokens_[index_]; }
  int here() const { return at_end() ? end_column_ : tokens_[index_].column; }

  const Token& next_word(std::string_view what) {
    if (at_end()) throw Bad{end_column_, "missing " + std::string(what)};
    const Token& token = tokens_[index_];
    if (!token.key.empty() || token.quoted)
      throw Bad{token.column, "expected " + std::string(what)};
    ++index_;
    return token;
  }

  const Token& next_string(std::string_view what) {
    if (at_end()) throw Bad{end_column_, "missing " + std::string(what)};
    const Token& token = tokens_[index_];
    if (!token.key.empty() || !token.quoted)
      throw Bad{token.column, "expected " + std::string(what) + " in double quotes"};
    ++index_;
    return token;
  }

  void expect_end() {
    if (!at_end())
      throw Bad{tokens_[index_].column, "unexpected " + in_quotes(describe(tokens_[index_]))};
  }

  static std::string describe(const Token& token) {
    std::string text = token.key.empty() ? "" : token.key + "=";
    return text + (token.quoted ? "\"...\"" : token.text);
  }

  static uint64_t number(const Token& token, std::string_view what, uint64_t max) {
    const auto value = parse_number(token.text);
    if (!value || token.quoted)
      throw Bad{token.value_column,
                "expected " + std::string(what) + ", got " + in_quotes(token.text)};
    if (*value > max)
      throw Bad{token.value_column, std::string(what) + " " + token.text +
                                        " is out of range (max " + std::to_string(max) + ")"};
    return *value;
  }

  static VTime duration(const Token& token) {
    const auto value = parse_duration(token.text);
    if (!value || token.quoted)
      throw Bad{token.value_column,
                "expected a duration like 5ms, 2s or 100us, got " + in_quotes(token.text)};
    return *value;
  }

  void before_start(const Token& command) const {
    if (state_.start_line != 0)
      throw Bad{command.column, in_quotes(command.text) + " must come before `start` (line " +
                                    std::to_string(state_.start_line) + ")"};
  }

  Action node(const Token& command) {
    before_start(command);
    const Token& path =
        at_end() || tokens_[index_].quoted ? next_string("a file path") : next_word("a file path");
    expect_end();
    std::filesystem::path resolved(path.text);
    if (resolved.is_relative() && !state_.base_dir.empty())
      resolved = std::filesystem::path(state_.base_dir) / resolved;
    return NodeStep{resolved.string()};
  }

  Action registry(const Token& command) {
    before_start(command);
    const Token& key = next_word("driver or device");
    if (key.text != "driver" && key.text != "device")
      throw Bad{key.column, "expected driver or device, got " + in_quotes(key.text)};
    RegistryStep step;
    step.driver_key = key.text == "driver";
    const Token& name = at_end() || tokens_[index_].quoted ? next_string("a value name")
                                                           : next_word("a value name");
    step.name = name.text;
    if (at_end()) throw Bad{end_column_, "missing a value (a \"string\" or a 32-bit number)"};
    const Token& value = tokens_[index_++];
    if (!value.key.empty())
      throw Bad{value.column, "expected a value, got " + in_quotes(describe(value))};
    if (value.quoted)
      step.value = value.text;
    else
      step.value = static_cast<uint32_t>(number(value, "a 32-bit number", 0xFFFFFFFFu));
    expect_end();
    return step;
  }

  Action handset() {
    HandsetStep step;
    if (at_end()) throw Bad{end_column_, "missing KEY=VALUE settings"};
    while (!at_end()) {
      const Token& token = tokens_[index_++];
      if (token.key.empty())
        throw Bad{token.column, "expected KEY=VALUE, got " + in_quotes(describe(token))};
      const std::string& key = token.key;
      const std::string& value = token.text;
      auto on_off = [&](std::string_view on, std::string_view off) {
        if (value == on) return true;
        if (value == off) return false;
        throw Bad{token.value_column, key + " is " + std::string(on) + " or " + std::string(off) +
                                          ", not " + in_quotes(value)};
      };
      if (key == "rate") {
        step.rate = static_cast<uint32_t>(number(token, "a baud rate", 4'000'000));
      } else if (key == "echo") {
        step.echo = on_off("on", "off");
      } else if (key == "results") {
        step.verbose = on_off("verbose", "numeric");
      } else if (key == "latency") {
        step.latency = duration(token);
      } else if (key == "rates") {
        std::vector<uint32_t> rates;
        size_t start = 0;
        while (start <= value.size()) {
          const size_t comma = std::min(value.find(',', start), value.size());
          Token part = token;
          part.text = value.substr(start, comma - start);
          part.value_column = token.value_column + static_cast<int>(start);
          rates.push_back(static_cast<uint32_t>(number(part, "a baud rate", 4'000'000)));
          start = comma + 1;
        }
        step.rates = rates;
      } else if (key == "sleep") {
        if (value == "off")
          step.sleep = std::optional<VTime>{};
        else
          step.sleep = std::optional<VTime>{duration(token)};
      } else if (key == "quirk") {
        if (!kQuirks.contains(value)) {
          std::string known;
          for (const auto& quirk : kQuirks) known += (known.empty() ? "" : ", ") + quirk;
          throw Bad{token.value_column,
                    "unknown quirk " + in_quotes(value) + " (known: " + known + ")"};
        }
        step.quirks.push_back(value);
      } else {
        throw Bad{token.column, "unknown handset key " + in_quotes(key) +
                                    " (known: rate, echo, results, latency, rates, sleep, quirk)"};
      }
    }
    return step;
  }

  Action port(const Token& command) {
    before_start(command);
    const Token& name = next_word("a port name such as COM3");
    expect_end();
    return PortStep{name.text};
  }

  Action start() {
    expect_end();
    if (state_.start_line == 0) state_.start_line = line_number;
    return StartStep{};
  }

  Action pnp() {
    const Token& action = next_word("a Plug and Play action");
    bool known = false;
    for (auto name : kPnpActions) known = known || name == action.text;
    if (!known)
      throw Bad{action.column, "unknown Plug and Play action " + in_quotes(action.text) +
                                   " (known: query-stop, stop, cancel-stop, query-remove, remove, "
                                   "cancel-remove, surprise-removal)"};
    expect_end();
    if (action.text == "remove") state_.removed_line = line_number;
    return PnpStep{action.text};
  }

  Action power() {
    const Token& kind = next_word("system, device or query-device");
    PowerStep step;
    char letter = 'D';
    int highest = 3;
    if (kind.text == "system") {
      step.kind = PowerStep::Kind::System;
      letter = 'S';
      highest = 5;
    } else if (kind.text == "device") {
      step.kind = PowerStep::Kind::Device;
    } else if (kind.text == "query-device") {
      step.kind = PowerStep::Kind::QueryDevice;
    } else {
      throw Bad{kind.column,
                "expected system, device or query-device, got " + in_quotes(kind.text)};
    }
    const std::string range = std::string(1, letter) + "0.." + letter + std::to_string(highest);
    const Token& state = next_word("a power state " + range);
    if (state.text.size() != 2 || state.text[0] != letter || state.text[1] < '0' ||
        state.text[1] > '0' + highest)
      throw Bad{state.column, "expected a power state " + range + ", got " + in_quotes(state.text)};
    step.state = state.text[1] - '0';
    expect_end();
    return step;
  }

  // Options every request step takes: handle=H, at=dispatch|passive, async=NAME.
  // Returns false for a token that is not one of them.
  bool request_option(const Token& token, RequestStep& step) {
    if (token.key == "handle") {
      step.handle = token.text;
      handle_token_ = &token;
    } else if (token.key == "at") {
      if (token.text != "dispatch" && token.text != "passive")
        throw Bad{token.value_column, "at is dispatch or passive, not " + in_quotes(token.text)};
      step.at_dispatch = token.text == "dispatch";
    } else if (token.key == "async") {
      if (token.text.empty() || token.quoted)
        throw Bad{token.value_column, "expected a name for the async request"};
      step.async_name = token.text;
      async_token_ = &token;
    } else {
      return false;
    }
    return true;
  }

  // Checks the handle and the async name, and records them.
  void finish_request(RequestStep& step) {
    if (step.kind != RequestStep::Kind::Open) {
      if (step.handle.empty()) {
        if (state_.open.empty())
          throw Bad{tokens_.front().column, "no handle is open here: send `open` first"};
        step.handle = state_.open.back();
      } else {
        const int column = handle_token_ ? handle_token_->value_column : tokens_.front().column;
        const bool is_open =
            std::find(state_.open.begin(), state_.open.end(), step.handle) != state_.open.end();
        if (!is_open && state_.closed.contains(step.handle))
          throw Bad{column, "handle " + in_quotes(step.handle) + " is already closed"};
        if (!is_open) throw Bad{column, "unknown handle " + in_quotes(step.handle)};
      }
    }
    if (!step.async_name.empty()) {
      auto [it, fresh] = state_.async_names.emplace(step.async_name, line_number);
      if (!fresh)
        throw Bad{async_token_->value_column, "async name " + in_quotes(step.async_name) +
                                                  " is already used on line " +
                                                  std::to_string(it->second)};
    }
    if (step.kind == RequestStep::Kind::Open) {
      if (step.open_as.empty()) step.open_as = "#" + std::to_string(++state_.auto_handles);
      state_.closed.erase(step.open_as);
      state_.open.push_back(step.open_as);
    } else if (step.kind == RequestStep::Kind::Close) {
      std::erase(state_.open, step.handle);
      state_.closed.insert(step.handle);
    }
  }

  Action handle_request(const std::string& name) {
    RequestStep step;
    step.kind = name == "open"    ? RequestStep::Kind::Open
                : name == "close" ? RequestStep::Kind::Close
                                  : RequestStep::Kind::Cleanup;
    step.label = name;
    while (!at_end()) {
      const Token& token = tokens_[index_];
      if (request_option(token, step)) {
        if (step.kind == RequestStep::Kind::Open && token.key == "handle")
          throw Bad{token.column, "open takes `as NAME`, not handle="};
        if (token.key == "async")
          throw Bad{token.column,
                    name + " is always synchronous; async= is for ioctl, read and write"};
        ++index_;
        continue;
      }
      if (step.kind == RequestStep::Kind::Open && token.key.empty() && !token.quoted &&
          token.text == "as") {
        ++index_;
        const Token& handle = next_word("a handle name after `as`");
        if (std::find(state_.open.begin(), state_.open.end(), handle.text) != state_.open.end())
          throw Bad{handle.column, "handle " + in_quotes(handle.text) + " is already open"};
        step.open_as = handle.text;
        continue;
      }
      if (step.kind != RequestStep::Kind::Open && token.key.empty() && !token.quoted &&
          step.handle.empty()) {
        step.handle = token.text;
        handle_token_ = &token;
        ++index_;
        continue;
      }
      throw Bad{token.column, "unexpected " + in_quotes(describe(token))};
    }
    finish_request(step);
    if (step.kind != RequestStep::Kind::Open) step.label += " " + step.handle;
    return step;
  }

  Action ioctl() {
    RequestStep step;
    step.kind = RequestStep::Kind::Ioctl;
    const Token& name = next_word("a control code name (e.g. SET_BAUD_RATE) or number");
    const IoctlInfo* info = nullptr;
    if (auto code = parse_number(name.text)) {
      if (*code > 0xFFFFFFFFu)
        throw Bad{name.column, "control code " + name.text + " is out of range"};
      step.code = static_cast<uint32_t>(*code);
      info = find_ioctl(step.code);
    } else {
      info = find_ioctl(name.text);
      if (!info) throw Bad{name.column, "unknown control code " + in_quotes(name.text)};
      step.code = info->code;
    }
    step.label = "ioctl " + (info ? std::string(info->name) : name.text);
    if (info) step.out_length = info->out_length;

    std::vector<uint64_t> values;
    int first_arg_column = 0;
    std::optional<std::string> in;
    std::optional<uint32_t> in_length;
    while (!at_end()) {
      const Token& token = tokens_[index_++];
      if (request_option(token, step)) continue;
      if (token.key == "in") {
        in = parse_hex(token.text);
        if (!in)
          throw Bad{token.value_column,
                    "in= takes hex bytes like 00C20100, got " + in_quotes(token.text)};
      } else if (token.key == "inlen") {
        in_length = static_cast<uint32_t>(number(token, "a length", kMaxTransfer));
      } else if (token.key == "outlen") {
        step.out_length = static_cast<uint32_t>(number(token, "a length", kMaxTransfer));
      } else if (!token.key.empty()) {
        throw Bad{token.column, "unknown option " + in_quotes(token.key + "=") +
                                    " (known: in, inlen, outlen, handle, at, async)"};
      } else {
        if (!info || info->args.empty())
          throw Bad{token.column, step.label + " takes no arguments; give the input as in=HEX"};
        if (values.size() == info->args.size())
          throw Bad{token.column, "too many arguments: " + step.label + " takes " + fields(*info)};
        if (values.empty()) first_arg_column = token.column;
        values.push_back(arg_value(token, info->args[values.size()]));
      }
    }
    if (in && !values.empty())
      throw Bad{first_arg_column, "give either arguments or in=HEX, not both"};
    if (in) {
      step.input = *in;
    } else if (info && !info->args.empty()) {
      if (values.size() < info->args.size() && !(values.empty() && in_length))
        throw Bad{here(), (values.empty() ? "missing arguments: " : "too few arguments: ") +
                              step.label + " takes " + fields(*info)};
      step.input = encode_args(*info, values);
    }
    if (in_length) step.input.resize(*in_length, '\0');
    finish_request(step);
    return step;
  }

  static std::string fields(const IoctlInfo& info) {
    std::string text;
    for (const auto& field : info.args) text += (text.empty() ? "" : " ") + std::string(field.name);
    return text;
  }

  static uint64_t arg_value(const Token& token, const ArgField& field) {
    if (field.width == 1 && token.quoted) {
      if (token.text.size() != 1)
        throw Bad{token.column, std::string(field.name) + " takes one character, got " +
                                    std::to_string(token.text.size())};
      return static_cast<uint8_t>(token.text[0]);
    }
    if (field.name == "Parity") {
      static const std::map<std::string, uint64_t, std::less<>> kParity = {
          {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
      if (auto it = kParity.find(token.text); it != kParity.end()) return it->second;
    }
    const uint64_t max = field.width == 1 ? 0xFF : 0xFFFFFFFFu;
    return number(token, std::string(field.name), max);
  }

  Action write() {
    RequestStep step;
    step.kind = RequestStep::Kind::Write;
    step.label = "write";
    const Token& data = next_string("the data to write");
    if (data.text.size() > kMaxTransfer) throw Bad{data.column, "write data is too long"};
    step.input = data.text;
    options_only(step);
    finish_request(step);
    return step;
  }

  Action read() {
    RequestStep step;
    step.kind = RequestStep::Kind::Read;
    step.label = "read";
    const Token& length = next_word("the number of bytes to read");
    step.out_length = static_cast<uint32_t>(number(length, "a byte count", kMaxTransfer));
    options_only(step);
    finish_request(step);
    return step;
  }

  void options_only(RequestStep& step) {
    while (!at_end()) {
      const Token& token = tokens_[index_];
      if (!request_option(token, step))
        throw Bad{token.column, "unexpected " + in_quotes(describe(token)) +
                                    " (options: handle=H, at=dispatch, async=NAME)"};
      ++index_;
    }
  }

  Action wait() {
    const Token& name = next_word("the name of an async request");
    expect_end();
    if (!state_.async_names.contains(name.text))
      throw Bad{name.column,
                "no async request named " + in_quotes(name.text) + " before this line"};
    return WaitStep{name.text};
  }

  Action sleep() {
    const Token& length = next_word("a duration");
    expect_end();
    return SleepStep{duration(length)};
  }

  Action line() {
    const Token& verb = next_word("send");
    if (verb.text != "send")
      throw Bad{verb.column, "unknown line action " + in_quotes(verb.text) + " (known: send)"};
    const Token& bytes = next_string("the bytes to send");
    expect_end();
    return LineSendStep{bytes.text};
  }

  Action expect() {
    const Token& what = next_word("status");
    if (what.text != "status")
      throw Bad{what.column, "expected `status`, got " + in_quotes(what.text)};
    ExpectStep step;
    const Token& status = next_word("a status name or 0xHEX value");
    if (auto value = parse_number(status.text); value && status.text.starts_with("0x")) {
      if (*value > 0xFFFFFFFFu)
        throw Bad{status.column, "status " + status.text + " is out of range"};
      step.status = static_cast<uint32_t>(*value);
    } else if (auto named = find_status(status.text)) {
      step.status = *named;
    } else {
      throw Bad{status.column, "unknown status " + in_quotes(status.text)};
    }
    step.status_text = status.text;
    std::set<std::string> seen;
    while (!at_end()) {
      const Token& clause = next_word("info, data, event or for");
      if (!seen.insert(clause.text).second)
        throw Bad{clause.column, in_quotes(clause.text) + " is given twice"};
      if (clause.text == "info") {
        step.info = number(next_word("a number"), "a number", std::numeric_limits<uint64_t>::max());
      } else if (clause.text == "data") {
        step.data = next_string("the expected data").text;
      } else if (clause.text == "event") {
        step.event =
            static_cast<uint32_t>(number(next_word("an event mask"), "an event mask", 0xFFFFFFFFu));
      } else if (clause.text == "for") {
        const Token& name = next_word("the name of an async request");
        if (!state_.async_names.contains(name.text))
          throw Bad{name.column,
                    "no async request named " + in_quotes(name.text) + " before this line"};
        step.for_name = name.text;
      } else {
        throw Bad{clause.column,
                  "unknown clause " + in_quotes(clause.text) + " (known: info, data, event, for)"};
      }
    }
    return step;
  }

  const std::vector<Token>& tokens_;
  size_t index_ = 0;
  int end_column_;
  ParseState& state_;
  const Token* handle_token_ = nullptr;
  const Token* async_token_ = nullptr;
};

}  // namespace

std::string ParseError::str() const {
  return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
}

ParseResult parse_scenario(std::string_view text, const std::string& file,
                           const std::string& base_dir) {
  ParseResult result;
  result.scenario.file = file;
  ParseState state;
  state.base_dir = base_dir;
  int line_number = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t end = std::min(text.find('\n', pos), text.size());
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    if (end == text.size() && line.empty()) break;
    if (line.find('\0') != std::string_view::npos) {
      result.errors.push_back({file, line_number, static_cast<int>(line.find('\0')) + 1,
                               "NUL character in the scenario"});
      continue;
    }
    const LexedLine lexed = lex_line(line);
    if (lexed.error) {
      result.errors.push_back({file, line_number, lexed.error->column, lexed.error->message});
      continue;
    }
    if (lexed.tokens.empty()) continue;
    LineParser parser(lexed.tokens, static_cast<int>(line.size()), state);
    parser.line_number = line_number;
    try {
      result.scenario.steps.push_back({line_number, parser.parse()});
    } catch (const Bad& bad) {
      result.errors.push_back({file, line_number, bad.column, bad.message});
    }
  }
  return result;
}

}  // namespace hs::tool
