#include "tools/hsbridge/svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "tools/hsbridge/trace_render.h"

namespace hs::tool {
namespace {

enum Lane { kClient, kFilter, kBridge, kBus, kPort, kHandset, kLanes };

constexpr const char* kLaneNames[kLanes] = {"client", "ratefilter",         "portbridge",
                                            "bus",    "port (VCOMM, UART)", "handset"};

constexpr int kLaneGap = 190;
constexpr int kLeft = 120;  // room for the time axis
constexpr int kTop = 90;
constexpr int kRow = 22;
constexpr size_t kMaxArrows = 4000;  // beyond this the picture would not be read anyway

struct Arrow {
  VTime t = 0;
  int from = 0;
  int to = 0;  // from == to: a mark on one lifeline
  std::string label;
  bool dashed = false;
  std::string color = "#000";
  // Merging keys.
  std::string kind;  // "vcomm", "tx", "rx", ...
  std::string key;   // what must match to merge
  std::string bytes;
  int count = 1;
};

int lane_of_device(const std::string& dev) {
  if (dev == "ratefilter") return kFilter;
  if (dev == "portbridge") return kBridge;
  if (dev == "bus") return kBus;
  return -1;
}

std::string short_request(const TraceEvent& event) {
  std::string major = event.str("major");
  if (major.rfind("IRP_MJ_", 0) == 0) major.erase(0, 7);
  std::string ioctl = event.str("ioctl");
  if (ioctl.rfind("IOCTL_SERIAL_", 0) == 0) ioctl.erase(0, 13);
  if (!ioctl.empty()) return ioctl;
  std::string minor = event.str("minor");
  if (minor.rfind("IRP_MN_", 0) == 0) minor.erase(0, 7);
  return minor.empty() ? major : major + " " + minor;
}

std::string status_short(const TraceEvent& event) {
  std::string status = event.str("status");
  unsigned value = 0;
  if (std::sscanf(status.c_str(), "0x%x", &value) == 1) {
    switch (value) {
      case 0x0:
        return "SUCCESS";
      case 0x102:
        return "TIMEOUT";
      case 0x103:
        return "PENDING";
      case 0xC0000120:
        return "CANCELLED";
      default:
        return status;
    }
  }
  return status;
}

std::vector<Arrow> build_arrows(const std::vector<TraceEvent>& events, bool lanes[kLanes]) {
  std::vector<Arrow> arrows;
  auto above = [&](int lane) {
    for (int l = lane - 1; l > kClient; --l)
      if (lanes[l]) return l;
    return static_cast<int>(kClient);
  };
  for (const auto& event : events) {
    Arrow arrow;
    arrow.t = event.t;
    if (event.ev == "irp") {
      const int lane = lane_of_device(event.str("dev"));
      if (lane < 0) continue;
      const bool in = event.str("phase") != "out";
      arrow.from = in ? above(lane) : lane;
      arrow.to = in ? lane : above(lane);
      arrow.dashed = !in;
      arrow.label = short_request(event);
      if (in) {
        const std::string data = bytes_of_hex(event.str("hex"));
        const std::string details =
            event.str("major") == "IRP_MJ_WRITE" && !data.empty()
                ? "\"" + escape_bytes(data.substr(0, 24)) + (data.size() > 24 ? "...\"" : "\"")
                : irp_details(event);
        if (!details.empty()) arrow.label += "  " + details;
      } else {
        arrow.label += " : " + status_short(event);
        if (event.find("info")) arrow.label += " (" + event.str("info") + ")";
      }
      arrow.color = in ? "#1f4e9c" : "#4a7a2c";
      arrow.kind = "irp";
    } else if (event.ev == "vcomm") {
      arrow.from = kBridge;
      arrow.to = kPort;
      arrow.kind = "vcomm";
      arrow.key = event.str("svc") + "=" + event.str("ret");
      arrow.label = event.str("svc") + " = " + event.str("ret");
      arrow.color = "#7a4a9c";
    } else if (event.ev == "line") {
      const bool tx = event.str("dir") == "tx";
      arrow.from = tx ? kPort : kHandset;
      arrow.to = tx ? kHandset : kPort;
      arrow.kind = tx ? "tx" : "rx";
      arrow.key = event.str("rate");
      arrow.bytes = bytes_of_hex(event.str("hex"));
      arrow.color = tx ? "#b85c00" : "#007a7a";
    } else if (event.ev == "break") {
      const int lane = lane_of_device(event.str("dev"));
      arrow.from = arrow.to = lane < 0 ? kBridge : lane;
      arrow.label = "DbgBreakPoint";
      arrow.color = "#c00";
      arrow.kind = "break";
    } else {
      continue;
    }
    lanes[arrow.from] = lanes[arrow.to] = true;
    if (!arrows.empty()) {
      Arrow& last = arrows.back();
      if ((arrow.kind == "vcomm" || arrow.kind == "tx" || arrow.kind == "rx") &&
          last.kind == arrow.kind && last.key == arrow.key) {
        ++last.count;
        last.bytes += arrow.bytes;
        continue;
      }
    }
    arrows.push_back(std::move(arrow));
  }
  for (auto& arrow : arrows) {
    if (arrow.kind == "tx" || arrow.kind == "rx") {
      std::string shown = arrow.bytes.substr(0, 40);
      arrow.label = "\"" + escape_bytes(shown) + (arrow.bytes.size() > 40 ? "...\"" : "\"");
      if (!arrow.key.empty()) arrow.label += " @" + arrow.key;
    } else if (arrow.count > 1) {
      arrow.label += "  x" + std::to_string(arrow.count);
    }
  }
  return arrows;
}

}  // namespace

std::string xml_escape(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += (c < 0x20 || c >= 0x7F) ? '?' : static_cast<char>(c);
    }
  }
  return out;
}

std::string render_svg(const std::vector<TraceEvent>& events, const std::string& title) {
  bool lanes[kLanes] = {true, false, false, false, false, false};
  std::vector<Arrow> arrows = build_arrows(events, lanes);
  size_t dropped = 0;
  if (arrows.size() > kMaxArrows) {
    dropped = arrows.size() - kMaxArrows;
    arrows.resize(kMaxArrows);
  }
  lanes[kPort] = lanes[kPort] || lanes[kHandset];
  int x[kLanes] = {};
  int next_x = kLeft + 80;
  for (int lane = 0; lane < kLanes; ++lane) {
    if (!lanes[lane]) continue;
    x[lane] = next_x;
    next_x += kLaneGap;
  }
  const int width = next_x - kLaneGap + 200;

  // Rows: one per arrow, with extra room where virtual time passes.
  std::vector<int> y(arrows.size());
  int cursor = kTop + 20;
  for (size_t i = 0; i < arrows.size(); ++i) {
    const VTime dt = i == 0 ? 0 : arrows[i].t - arrows[i - 1].t;
    const double micros = static_cast<double>(std::max<VTime>(dt, 0)) / kMicrosecond;
    cursor += kRow + static_cast<int>(std::min(60.0, 6.0 * std::log10(1.0 + micros)));
    y[i] = cursor;
  }
  const int height = cursor + 60;

  std::ostringstream svg;
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height
      << "\" font-family=\"monospace\" font-size=\"11\">\n"
      << "<defs><marker id=\"head\" viewBox=\"0 0 10 10\" refX=\"10\" refY=\"5\" markerWidth=\"7\" "
         "markerHeight=\"7\" orient=\"auto-start-reverse\"><path d=\"M0,0 L10,5 L0,10 z\" "
         "fill=\"context-stroke\"/></marker></defs>\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n"
      << "<text x=\"10\" y=\"22\" font-size=\"14\" font-weight=\"bold\">" << xml_escape(title)
      << "</text>\n"
      << "<text x=\"10\" y=\"" << kTop - 10 << "\" fill=\"#666\">virtual time</text>\n";
  for (int lane = 0; lane < kLanes; ++lane) {
    if (!lanes[lane]) continue;
    svg << "<g class=\"lifeline\"><rect x=\"" << x[lane] - 70 << "\" y=\"" << kTop - 40
        << "\" width=\"140\" height=\"26\" rx=\"4\" fill=\"#eef\" stroke=\"#336\"/>"
        << "<text x=\"" << x[lane] << "\" y=\"" << kTop - 23 << "\" text-anchor=\"middle\">"
        << kLaneNames[lane] << "</text><line x1=\"" << x[lane] << "\" y1=\"" << kTop - 14
        << "\" x2=\"" << x[lane] << "\" y2=\"" << height - 20
        << "\" stroke=\"#999\" stroke-dasharray=\"4 4\"/></g>\n";
  }
  VTime labelled = -1;
  for (size_t i = 0; i < arrows.size(); ++i) {
    const Arrow& arrow = arrows[i];
    if (arrow.t != labelled) {
      svg << "<text x=\"10\" y=\"" << y[i] + 4 << "\" fill=\"#666\">"
          << xml_escape(format_vtime(arrow.t)) << "</text>\n";
      labelled = arrow.t;
    }
    const int x1 = x[arrow.from];
    const int x2 = x[arrow.to];
    if (x1 == x2) {
      svg << "<g><circle cx=\"" << x1 << "\" cy=\"" << y[i] << "\" r=\"5\" fill=\"" << arrow.color
          << "\"/><text x=\"" << x1 + 9 << "\" y=\"" << y[i] + 4 << "\" fill=\"" << arrow.color
          << "\">" << xml_escape(arrow.label) << "</text></g>\n";
      continue;
    }
    const int label_x = std::min(x1, x2) + 6;
    svg << "<g><line x1=\"" << x1 << "\" y1=\"" << y[i] << "\" x2=\"" << x2 << "\" y2=\"" << y[i]
        << "\" stroke=\"" << arrow.color << "\" marker-end=\"url(#head)\""
        << (arrow.dashed ? " stroke-dasharray=\"5 3\"" : "") << "/><text x=\"" << label_x
        << "\" y=\"" << y[i] - 4 << "\" fill=\"" << arrow.color << "\">" << xml_escape(arrow.label)
        << "</text></g>\n";
  }
  if (dropped > 0)
    svg << "<text x=\"10\" y=\"" << height - 30 << "\" fill=\"#c00\">" << dropped
        << " more steps not drawn</text>\n";
  svg << "</svg>\n";
  return svg.str();
}

}  // namespace hs::tool
