#include "sim/device_node_file.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

namespace hs {
namespace {

constexpr ULONG kRegMultiSz = 7;
constexpr uint32_t kFlgBinary = 0x00000001;
constexpr uint32_t kFlgNoClobber = 0x00000002;
constexpr uint32_t kFlgMultiSz = 0x00010000;
constexpr uint32_t kFlgExpandSz = 0x00020000;
constexpr uint32_t kFlgDword = 0x00010001;
constexpr uint32_t kSpsvcAssocService = 0x00000002;

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string trim(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return std::string(text.substr(b, e - b));
}

struct Field {
  std::string text;
  bool quoted = false;
};

// One line of a section: "key = fields" or just fields.
struct Entry {
  int line = 0;
  std::string key;  // empty when the line has no '='
  std::vector<Field> fields;
};

struct Section {
  int line = 0;
  std::vector<Entry> entries;
};

class Parser {
 public:
  Parser(std::string_view text, std::string_view file) : text_(text), file_(file) {}

  DeviceNodeParse run(std::string_view hardware_id) {
    DeviceNodeParse result;
    if (!read_sections()) {
      result.error = error_;
      return result;
    }
    DeviceNodeSpec spec;
    if (!build(spec, hardware_id, result.model)) {
      result.error = error_;
      return result;
    }
    result.spec = std::move(spec);
    return result;
  }

 private:
  bool fail(int line, const std::string& message) {
    error_ = std::string(file_) + ":" + std::to_string(line) + ": " + message;
    return false;
  }

  // Splits the file into sections of entries, joining continued lines and
  // dropping comments.
  bool read_sections() {
    std::vector<std::pair<int, std::string>> lines;
    std::istringstream in{std::string(text_)};
    std::string raw;
    int number = 0;
    std::string pending;
    int pending_line = 0;
    while (std::getline(in, raw)) {
      ++number;
      if (!raw.empty() && raw.back() == '\r') raw.pop_back();
      std::string content;
      bool quoted = false;
      for (char c : raw) {
        if (c == '"') quoted = !quoted;
        if (c == ';' && !quoted) break;
        content += c;
      }
      if (quoted) return fail(number, "unterminated quoted string");
      std::string t = trim(content);
      if (pending.empty()) pending_line = number;
      if (!t.empty() && t.back() == '\\') {
        t.pop_back();
        pending += t;
        continue;
      }
      pending += t;
      if (!pending.empty()) lines.emplace_back(pending_line, pending);
      pending.clear();
    }
    if (!pending.empty()) lines.emplace_back(pending_line, pending);

    Section* current = nullptr;
    for (auto& [line, content] : lines) {
      if (content.front() == '[') {
        size_t close = content.find(']');
        if (close == std::string::npos) return fail(line, "section header lacks its ']'");
        if (trim(content.substr(close + 1)).size() > 0)
          return fail(line, "text after the section header");
        std::string name = lower(trim(content.substr(1, close - 1)));
        if (name.empty()) return fail(line, "empty section name");
        auto [it, fresh] = sections_.try_emplace(name);
        if (fresh) it->second.line = line;
        current = &it->second;
        continue;
      }
      if (current == nullptr) return fail(line, "line outside any section");
      Entry entry;
      entry.line = line;
      std::string rest = content;
      size_t eq = find_unquoted(content, '=');
      if (eq != std::string::npos) {
        entry.key = trim(content.substr(0, eq));
        rest = content.substr(eq + 1);
        if (entry.key.empty()) return fail(line, "'=' without a key");
      }
      if (!split_fields(rest, entry.fields, line)) return false;
      current->entries.push_back(std::move(entry));
    }
    return true;
  }

  static size_t find_unquoted(const std::string& s, char what) {
    bool quoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '"') quoted = !quoted;
      if (s[i] == what && !quoted) return i;
    }
    return std::string::npos;
  }

  bool split_fields(const std::string& s, std::vector<Field>& out, int line) {
    Field field;
    bool quoted = false;
    std::string raw;
    for (size_t i = 0; i <= s.size(); ++i) {
      char c = i < s.size() ? s[i] : ',';
      if (c == '"') {
        if (quoted && i + 1 < s.size() && s[i + 1] == '"') {
          raw += '"';
          ++i;
          continue;
        }
        quoted = !quoted;
        field.quoted = true;
        continue;
      }
      if (c == ',' && !quoted) {
        field.text = field.quoted ? raw : trim(raw);
        out.push_back(field);
        field = Field{};
        raw.clear();
        continue;
      }
      raw += c;
    }
    (void)line;  // strings are substituted once [Strings] is known
    return true;
  }

  bool substitute(std::string& text, int line) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] != '%') {
        out += text[i];
        continue;
      }
      size_t close = text.find('%', i + 1);
      if (close == std::string::npos) return fail(line, "'%' without its closing '%'");
      std::string key = text.substr(i + 1, close - i - 1);
      i = close;
      if (key.empty()) {
        out += '%';
        continue;
      }
      if (std::all_of(key.begin(), key.end(),
                      [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        out += "%" + key + "%";  // a directory id
        continue;
      }
      auto it = strings_.find(lower(key));
      if (it == strings_.end()) return fail(line, "unknown string key %" + key + "%");
      out += it->second;
    }
    text = out;
    return true;
  }

  const Section* section(std::string_view name) const {
    auto it = sections_.find(lower(name));
    return it == sections_.end() ? nullptr : &it->second;
  }

  static const Entry* find_key(const Section& s, std::string_view key) {
    for (const auto& e : s.entries)
      if (lower(e.key) == lower(key)) return &e;
    return nullptr;
  }

  bool build(DeviceNodeSpec& spec, std::string_view hardware_id, std::string& model_name) {
    // [Strings] may stand anywhere: substitute once it is known.
    if (const Section* s = section("strings")) {
      for (const auto& e : s->entries) {
        if (e.key.empty() || e.fields.empty()) return fail(e.line, "a string needs 'key = value'");
        strings_[lower(e.key)] = e.fields[0].text;
      }
    }
    for (auto& [name, sec] : sections_) {
      if (name == "strings") continue;
      for (auto& e : sec.entries) {
        if (!substitute(e.key, e.line)) return false;
        for (auto& f : e.fields)
          if (!substitute(f.text, e.line)) return false;
      }
    }

    const Section* version = section("version");
    if (version == nullptr) return fail(1, "no [Version] section");
    const Entry* signature = find_key(*version, "Signature");
    if (signature == nullptr || signature->fields.empty())
      return fail(version->line, "[Version] has no Signature");
    std::string sig = lower(signature->fields[0].text);
    if (sig != "$chicago$" && sig != "$windows nt$" && sig != "$windows 95$")
      return fail(signature->line, "unknown Signature \"" + signature->fields[0].text + "\"");

    const Section* manufacturer = section("manufacturer");
    if (manufacturer == nullptr || manufacturer->entries.empty())
      return fail(version->line, "no [Manufacturer] section with a models entry");
    const Entry& maker = manufacturer->entries.front();
    if (maker.fields.empty() || maker.fields[0].text.empty())
      return fail(maker.line, "manufacturer entry names no models section");
    std::string models_name = maker.fields[0].text;
    const Section* models = section(models_name);
    if (models == nullptr)
      return fail(maker.line, "models section [" + models_name + "] not found");
    const Entry* model = nullptr;
    for (const auto& e : models->entries) {
      if (e.fields.size() < 2)
        return fail(e.line, "model line needs 'description = install-section, hardware-id'");
      if (hardware_id.empty() || lower(e.fields[1].text) == lower(hardware_id)) {
        model = &e;
        break;
      }
    }
    if (model == nullptr)
      return fail(models->line, "no model with hardware id " + std::string(hardware_id));
    model_name = model->key;
    spec.hardware_id = model->fields[1].text;
    spec.instance = "ROOT\\MODEM\\0000";
    std::string install_name = model->fields[0].text;
    const Section* install = section(install_name);
    if (install == nullptr)
      return fail(model->line, "install section [" + install_name + "] not found");

    // The driver key.
    if (!add_regs(*install, spec.driver_key)) return false;
    const std::string ntmp_driver = std::exchange(ntmp_driver_, std::string());
    const int ntmp_line = ntmp_line_;
    // The hardware key.
    if (const Section* hw = section(install_name + ".HW")) {
      if (!add_regs(*hw, spec.hardware_key)) return false;
    }
    // Services: the function driver (flag 2) and the filters' images.
    const Section* services = section(install_name + ".Services");
    if (services == nullptr && !ntmp_driver.empty()) {
      spec.upper_filters = filters_;
      return apply_ntmp_driver(spec, ntmp_driver, ntmp_line);
    }
    if (services == nullptr)
      return fail(install->line,
                  "no [" + install_name + ".Services] section naming the function driver");
    std::map<std::string, std::string> images;  // service name -> image
    int function_line = 0;
    for (const auto& e : services->entries) {
      if (lower(e.key) != "addservice") continue;
      if (e.fields.empty() || e.fields[0].text.empty())
        return fail(e.line, "AddService needs a service name");
      std::string name = e.fields[0].text;
      uint32_t flags = 0;
      if (e.fields.size() > 1 && !e.fields[1].text.empty() &&
          !parse_number(e.fields[1].text, flags))
        return fail(e.line, "AddService flags \"" + e.fields[1].text + "\" are not a number");
      std::string image = name;
      if (e.fields.size() > 2 && !e.fields[2].text.empty()) {
        const Section* service = section(e.fields[2].text);
        if (service == nullptr)
          return fail(e.line, "service section [" + e.fields[2].text + "] not found");
        if (const Entry* binary = find_key(*service, "ServiceBinary")) {
          if (binary->fields.empty() || binary->fields[0].text.empty())
            return fail(binary->line, "ServiceBinary is empty");
          image = image_name(binary->fields[0].text);
        }
      }
      images[lower(name)] = image;
      if (flags & kSpsvcAssocService) {
        if (!spec.function_driver.empty())
          return fail(e.line, "a second function driver (flag 0x2), the first at line " +
                                  std::to_string(function_line));
        spec.function_driver = image;
        function_line = e.line;
      }
    }
    if (spec.function_driver.empty())
      return fail(services->line, "no AddService with flag 0x2 names the function driver");
    for (auto& filter : filters_) {
      auto it = images.find(lower(filter));
      spec.upper_filters.push_back(it == images.end() ? filter : it->second);
    }
    if (!ntmp_driver.empty()) return apply_ntmp_driver(spec, ntmp_driver, ntmp_line);
    return true;
  }

  // Windows 98/Me load a node's WDM drivers from NTMPDriver in the driver
  // key: image files, comma-separated, bottom to top, the first being the
  // function driver. Where the file also names the drivers by AddService
  // (flag 0x2) and UpperFilters, both must name the same stack.
  bool apply_ntmp_driver(DeviceNodeSpec& spec, const std::string& list, int line) {
    std::vector<std::string> drivers;
    std::istringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
      item = trim(item);
      if (!item.empty()) drivers.push_back(image_name(item));
    }
    if (drivers.empty()) return fail(line, "NTMPDriver names no driver");
    std::vector<std::string> filters(drivers.begin() + 1, drivers.end());
    if (!spec.function_driver.empty() && lower(spec.function_driver) != lower(drivers[0]))
      return fail(line, "NTMPDriver's function driver " + drivers[0] +
                            " is not the AddService function driver " + spec.function_driver);
    if (!spec.upper_filters.empty()) {
      bool same = spec.upper_filters.size() == filters.size();
      for (size_t i = 0; same && i < filters.size(); ++i)
        same = lower(spec.upper_filters[i]) == lower(filters[i]);
      if (!same) return fail(line, "NTMPDriver's filters are not the UpperFilters");
    }
    spec.function_driver = drivers[0];
    spec.upper_filters = std::move(filters);
    return true;
  }

  static std::string image_name(std::string path) {
    size_t slash = path.find_last_of("\\/");
    if (slash != std::string::npos) path = path.substr(slash + 1);
    size_t dot = path.rfind('.');
    if (dot != std::string::npos) path = path.substr(0, dot);
    return path;
  }

  static bool parse_number(const std::string& text, uint32_t& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (end == nullptr || *end != '\0' || v > 0xFFFFFFFFul) return false;
    value = static_cast<uint32_t>(v);
    return true;
  }

  // Applies every AddReg section that `install` names.
  bool add_regs(const Section& install, std::vector<RegistryValue>& key) {
    for (const auto& e : install.entries) {
      if (lower(e.key) != "addreg") continue;
      for (const auto& f : e.fields) {
        if (f.text.empty()) continue;
        const Section* regs = section(f.text);
        if (regs == nullptr) return fail(e.line, "AddReg section [" + f.text + "] not found");
        for (const auto& line : regs->entries)
          if (!add_reg_line(line, key)) return false;
      }
    }
    return true;
  }

  bool add_reg_line(const Entry& e, std::vector<RegistryValue>& key) {
    if (!e.key.empty())
      return fail(e.line, "AddReg line has '=': expected root,subkey,name,flags,value");
    if (e.fields.size() < 4)
      return fail(e.line, "AddReg line needs at least 4 fields: root,subkey,name,flags[,value]");
    if (lower(e.fields[0].text) != "hkr")
      return fail(e.line, "root \"" + e.fields[0].text + "\" is not supported (only HKR)");
    if (!e.fields[1].text.empty())
      return fail(e.line, "subkey \"" + e.fields[1].text +
                              "\" is not supported (values go in the key itself)");
    std::string name = e.fields[2].text;
    if (name.empty()) return fail(e.line, "AddReg line needs a value name");
    uint32_t flags = 0;
    if (!e.fields[3].text.empty() && !parse_number(e.fields[3].text, flags))
      return fail(e.line, "flags \"" + e.fields[3].text + "\" are not a number");
    flags &= ~kFlgNoClobber;
    std::vector<Field> values(e.fields.begin() + 4, e.fields.end());
    RegistryValue value;
    if (flags == 0 || flags == kFlgExpandSz) {
      value = RegistryValue::string(name, values.empty() ? "" : values[0].text);
      if (lower(name) == "ntmpdriver") {
        ntmp_driver_ = values.empty() ? "" : values[0].text;
        ntmp_line_ = e.line;
      }
      if (flags == kFlgExpandSz) value.type = REG_EXPAND_SZ;
    } else if (flags == kFlgDword) {
      uint32_t number = 0;
      if (values.empty() || !parse_number(values[0].text, number))
        return fail(e.line, "REG_DWORD value of " + name + " is not a number");
      value = RegistryValue::dword(name, number);
    } else if (flags == kFlgBinary) {
      std::vector<uint8_t> bytes;
      for (const auto& v : values) {
        uint32_t byte = 0;
        std::string t = v.text;
        if (t.rfind("0x", 0) != 0 && t.rfind("0X", 0) != 0) t = "0x" + t;
        if (!parse_number(t, byte) || byte > 0xFF)
          return fail(e.line, "binary value byte \"" + v.text + "\" is not a hex byte");
        bytes.push_back(static_cast<uint8_t>(byte));
      }
      value = RegistryValue::binary(name, bytes);
    } else if (flags == kFlgMultiSz) {
      value.name = name;
      value.type = kRegMultiSz;
      for (const auto& v : values) {
        for (char c : v.text) {
          value.data.push_back(static_cast<uint8_t>(c));
          value.data.push_back(0);
        }
        value.data.push_back(0);
        value.data.push_back(0);
      }
      value.data.push_back(0);
      value.data.push_back(0);
      if (lower(name) == "upperfilters")
        for (const auto& v : values)
          if (!v.text.empty()) filters_.push_back(v.text);
    } else {
      char buffer[16];
      snprintf(buffer, sizeof buffer, "0x%08X", flags);
      return fail(e.line, std::string("unsupported AddReg flags ") + buffer);
    }
    std::erase_if(key, [&](const RegistryValue& v) { return lower(v.name) == lower(name); });
    key.push_back(std::move(value));
    return true;
  }

  std::string_view text_;
  std::string_view file_;
  std::string error_;
  std::map<std::string, Section> sections_;
  std::map<std::string, std::string> strings_;
  std::vector<std::string> filters_;
  std::string ntmp_driver_;  // NTMPDriver of the key being filled, if any
  int ntmp_line_ = 0;
};

}  // namespace

DeviceNodeParse parse_device_node_file(std::string_view text, std::string_view file_name,
                                       std::string_view hardware_id) {
  Parser parser(text, file_name);
  return parser.run(hardware_id);
}

DeviceNodeParse load_device_node_file(const std::string& path, std::string_view hardware_id) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    DeviceNodeParse result;
    result.error = path + ": cannot be read";
    return result;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string name = path;
  size_t slash = name.find_last_of('/');
  if (slash != std::string::npos) name = name.substr(slash + 1);
  return parse_device_node_file(buffer.str(), name, hardware_id);
}

}  // namespace hs
