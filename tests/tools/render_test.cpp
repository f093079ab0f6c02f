// Trace renderers: the monitor-style text line, JSON lines that tools can
// parse with the contract's field names, and a well-formed SVG picture.
#include <expat.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tools/hsbridge/svg.h"
#include "tools/hsbridge/trace_render.h"

namespace hs::tool {
namespace {

TraceEvent make(uint64_t seq, VTime t, std::string ev) {
  TraceEvent event;
  event.seq = seq;
  event.t = t;
  event.ev = std::move(ev);
  return event;
}

// A negotiation as the machine traces it, small.
std::vector<TraceEvent> negotiation() {
  std::vector<TraceEvent> events;
  auto irp = [&](std::string dev, std::string phase, std::string ioctl, std::string in) {
    TraceEvent e = make(events.size() + 1, 1000 * events.size(), "irp");
    e.add("dev", dev).add("phase", phase).add("major", "IRP_MJ_DEVICE_CONTROL").add("ioctl", ioctl);
    if (phase == "in") e.add("in", in);
    if (phase == "out") e.add("status", "0x00000000").add("info", 0);
    events.push_back(e);
  };
  irp("ratefilter", "in", "IOCTL_SERIAL_SET_BAUD_RATE", "00 C2 01 00");
  // As the kernel traces it: the parameters in the text, not as bytes.
  TraceEvent down = make(2, 1000, "irp");
  down.add("dev", "portbridge").add("phase", "in").add("major", "IRP_MJ_DEVICE_CONTROL");
  down.add("ioctl", "IOCTL_SERIAL_SET_BAUD_RATE");
  down.text = "portbridge  IRP_MJ_DEVICE_CONTROL IOCTL_SERIAL_SET_BAUD_RATE  Rate: 9600";
  events.push_back(down);
  TraceEvent call = make(3, 3000, "vcomm");
  call.add("svc", "SetCommState").add("ret", 1);
  call.text = "_VCOMM_SetCommState(COM2, Rate: 9600) = 1";
  events.push_back(call);
  for (int i = 0; i < 3; ++i) {
    TraceEvent poll = make(events.size() + 1, 4000 + i, "vcomm");
    poll.add("svc", "ReadComm").add("ret", 0);
    events.push_back(poll);
  }
  for (const char* byte : {"41", "54", "0D"}) {
    TraceEvent line = make(events.size() + 1, 5000 + events.size(), "line");
    line.add("dir", "tx").add("hex", byte).add("rate", 9600);
    events.push_back(line);
  }
  TraceEvent answer = make(events.size() + 1, 90000, "line");
  answer.add("dir", "rx").add("hex", "0D 0A 4F 4B 0D 0A 3C 26 3E FF").add("rate", 9600);
  events.push_back(answer);
  irp("portbridge", "out", "IOCTL_SERIAL_SET_BAUD_RATE", "");
  irp("ratefilter", "out", "IOCTL_SERIAL_SET_BAUD_RATE", "");
  TraceEvent done = make(events.size() + 1, 100000, "request");
  done.add("name", "ioctl SET_BAUD_RATE").add("status", "0x00000000").add("info", 0).add("hex", "");
  events.push_back(done);
  TraceEvent brk = make(events.size() + 1, 100001, "break");
  brk.add("dev", "ratefilter");
  events.push_back(brk);
  return events;
}

TEST(TraceText, ShowsRequestsWithTheirParametersInWords) {
  const auto events = negotiation();
  EXPECT_EQ(
      render_text(events[0]),
      "000001  " + format_vtime(0) + "  ratefilter  > DEVICE_CONTROL SET_BAUD_RATE  Rate: 115200");
  EXPECT_EQ(render_text(events[1]),
            "000002  " + format_vtime(1000) +
                "  portbridge  > IRP_MJ_DEVICE_CONTROL IOCTL_SERIAL_SET_BAUD_RATE  Rate: 9600");
  EXPECT_NE(render_text(events[2]).find("_VCOMM_SetCommState(COM2, Rate: 9600) = 1"),
            std::string::npos);
  EXPECT_NE(render_text(events[6]).find("PC -> handset @9600  Length 1: 41  \"A\""),
            std::string::npos);
  EXPECT_NE(render_text(events[9]).find("Length 10: 0D 0A 4F 4B 0D 0A 3C 26 3E FF  "
                                        "\"\\r\\nOK\\r\\n<&>\\xFF\""),
            std::string::npos);
  EXPECT_NE(render_text(events[10]).find("< DEVICE_CONTROL SET_BAUD_RATE  SUCCESS  Info 0"),
            std::string::npos);
}

TEST(TraceText, DescribesSerialRecords) {
  struct Case {
    const char* ioctl;
    std::string bytes;
    const char* words;
  };
  const Case cases[] = {
      {"SET_WAIT_MASK", std::string("\x85\x00\x00\x00", 4), "Mask: RXCHAR TXEMPTY ERR"},
      {"SET_WAIT_MASK", std::string("\x00\x00\x01\x00", 4), "Mask: 0x00010000"},
      {"PURGE", std::string("\x0F\0\0\0", 4), "Purge: TXABORT RXABORT TXCLEAR RXCLEAR"},
      {"SET_TIMEOUTS", std::string("\x14\0\0\0\0\0\0\0\xC8\0\0\0\0\0\0\0\xD0\x07\0\0", 20),
       "RI:20 RM:0 RC:200 WM:0 WC:2000"},
      {"SET_LINE_CONTROL", std::string("\x00\x02\x07", 3),
       "StopBits: 1 Parity: EVEN WordLength: 7"},
      {"SET_BAUD_RATE", std::string("\x01", 1), "Length 1: 01"},  // short record: raw bytes
      {"WAIT_ON_MASK", std::string("\x01\0\0\0", 4), "Events: RXCHAR"},
  };
  for (const Case& c : cases) EXPECT_EQ(describe_ioctl_data(c.ioctl, c.bytes), c.words) << c.ioctl;
}

TEST(TraceJson, EachLineIsAnObjectWithTheContractFields) {
  for (const auto& event : negotiation()) {
    const std::string line = render_json(event);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto object = nlohmann::json::parse(line);
    ASSERT_TRUE(object.is_object());
    EXPECT_EQ(object["t"].get<int64_t>(), event.t);
    EXPECT_EQ(object["ev"], event.ev);
    for (const auto& field : event.fields) EXPECT_TRUE(object.contains(field.key)) << field.key;
  }
  TraceEvent odd = make(1, 5, "note");
  odd.add("text", std::string("bad \xff\xfe utf-8 \x01"));
  odd.add("t", "shadow");  // never overrides the event's own time
  const auto object = nlohmann::json::parse(render_json(odd));
  EXPECT_EQ(object["t"], 5);
}

// Well-formedness by a real XML parser.
bool well_formed(const std::string& xml, std::string& error) {
  XML_Parser parser = XML_ParserCreate("UTF-8");
  const bool ok = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_OK;
  if (!ok)
    error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
            std::to_string(XML_GetCurrentLineNumber(parser));
  XML_ParserFree(parser);
  return ok;
}

TEST(SequenceDiagram, IsWellFormedXmlWithLifelinesAndMergedArrows) {
  const std::string svg = render_svg(negotiation(), "demo <&> \"run\"");
  std::string error;
  ASSERT_TRUE(well_formed(svg, error)) << error;
  for (const char* lane :
       {">client<", ">ratefilter<", ">portbridge<", ">port (VCOMM, UART)<", ">handset<"})
    EXPECT_NE(svg.find(lane), std::string::npos) << lane;
  EXPECT_NE(svg.find("ReadComm = 0  x3"), std::string::npos) << "polls drawn once";
  EXPECT_NE(svg.find("&quot;AT\\r&quot; @9600"), std::string::npos) << "bytes merged";
  EXPECT_NE(svg.find("SET_BAUD_RATE  Rate: 115200"), std::string::npos);
  EXPECT_NE(svg.find("SET_BAUD_RATE  Rate: 9600"), std::string::npos) << "from the kernel's text";
  EXPECT_NE(svg.find("DbgBreakPoint"), std::string::npos);
}

TEST(SequenceDiagram, EmptyAndHugeTracesStayWellFormed) {
  std::string error;
  EXPECT_TRUE(well_formed(render_svg({}, "empty"), error)) << error;
  std::vector<TraceEvent> many;
  for (int i = 0; i < 20000; ++i) {
    TraceEvent e = make(i + 1, i * 10, "irp");
    e.add("dev", i % 2 ? "portbridge" : "ratefilter")
        .add("phase", "in")
        .add("major", "IRP_MJ_READ");
    many.push_back(e);
  }
  const std::string svg = render_svg(many, "many");
  EXPECT_TRUE(well_formed(svg, error)) << error;
  EXPECT_NE(svg.find("16000 more steps not drawn"), std::string::npos);
}

}  // namespace
}  // namespace hs::tool
