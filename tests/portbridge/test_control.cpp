// The bridge's control-code table and its line-control handlers, through the
// client on an open port: every code answers with its handler's or its fixed
// status and Information and has its effect on the port; short buffers are
// refused before the port is called; refused port calls answer as the table
// says and write no output; requests are parked while the device is held.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "test_control_support.h"

namespace hs::bridge_test {
namespace {

struct ControlCase {
  std::string name;
  ULONG code;
  std::vector<uint8_t> input;
  ULONG output_length;
  NTSTATUS status;
  ULONG_PTR info;
  std::function<void(Rig&, const Completion&)> check;  // the port effect, the output
};

SERIAL_LINE_CONTROL line_control(UCHAR stop, UCHAR parity, UCHAR word) {
  SERIAL_LINE_CONTROL lc{};
  lc.StopBits = stop;
  lc.Parity = parity;
  lc.WordLength = word;
  return lc;
}

SERIAL_QUEUE_SIZE queue_size(ULONG in, ULONG out) {
  SERIAL_QUEUE_SIZE q{};
  q.InSize = in;
  q.OutSize = out;
  return q;
}

std::vector<ControlCase> control_cases() {
  auto none = [](Rig&, const Completion&) {};
  auto not_implemented = [&](std::string name, ULONG code) {
    return ControlCase{name, code, {}, 0, STATUS_NOT_IMPLEMENTED, 0, none};
  };
  auto invalid = [&](std::string name, ULONG code) {
    return ControlCase{name, code, {}, 0, STATUS_INVALID_DEVICE_REQUEST, 0, none};
  };
  return {
      {"SetBaudRate", IOCTL_SERIAL_SET_BAUD_RATE, le32(19200), 0, STATUS_SUCCESS, 0,
       [](Rig& rig, const Completion&) { EXPECT_EQ(port(rig).dcb.BaudRate, 19200u); }},
      {"SetQueueSize", IOCTL_SERIAL_SET_QUEUE_SIZE, bytes_of(queue_size(4096, 3000)), 0,
       STATUS_SUCCESS, 0,
       [](Rig& rig, const Completion&) {
         EXPECT_EQ(port(rig).rx_size, 4096u);
         EXPECT_EQ(port(rig).tx_size, 3000u);
       }},
      {"SetLineControl", IOCTL_SERIAL_SET_LINE_CONTROL,
       bytes_of(line_control(STOP_BITS_2, EVEN_PARITY, 7)), 0, STATUS_SUCCESS, 0,
       [](Rig& rig, const Completion&) {
         DCB dcb = port(rig).dcb;
         EXPECT_EQ(dcb.StopBits, STOP_BITS_2);
         EXPECT_EQ(dcb.Parity, EVEN_PARITY);
         EXPECT_EQ(dcb.ByteSize, 7);
       }},
      {"SetBreakOn",
       IOCTL_SERIAL_SET_BREAK_ON,
       {},
       0,
       STATUS_SUCCESS,
       0,
       [](Rig& rig, const Completion&) { EXPECT_TRUE(port(rig).control.brk); }},
      {"SetBreakOff",
       IOCTL_SERIAL_SET_BREAK_OFF,
       {},
       0,
       STATUS_SUCCESS,
       0,
       [](Rig& rig, const Completion&) { EXPECT_FALSE(port(rig).control.brk); }},
      {"ImmediateChar",
       IOCTL_SERIAL_IMMEDIATE_CHAR,
       {'Z'},
       0,
       STATUS_SUCCESS,
       0,
       [](Rig& rig, const Completion&) {
         rig.machine().sleep_for(10 * kMillisecond);
         EXPECT_EQ(rig.line_bytes("tx"), "Z");
       }},
      {"SetTimeouts", IOCTL_SERIAL_SET_TIMEOUTS, bytes_of(timeouts(1, 2, 3)), 0, STATUS_SUCCESS, 0,
       [](Rig& rig, const Completion&) {
         COMMTIMEOUTS t = port(rig).timeouts;
         EXPECT_EQ(t.ReadIntervalTimeout, 1u);
         EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 2u);
         EXPECT_EQ(t.ReadTotalTimeoutConstant, 3u);
       }},
      {"GetTimeouts", IOCTL_SERIAL_GET_TIMEOUTS, {}, 20, STATUS_SUCCESS, 20, none},
      {"SetDtr",
       IOCTL_SERIAL_SET_DTR,
       {},
       0,
       STATUS_SUCCESS,
       0,
       [](Rig& rig, const Completion&) { EXPECT_TRUE(port(rig).control.dtr); }},
      {"ClrDtr",
       IOCTL_SERIAL_CLR_DTR,
       {},
       0,
       STATUS_SUCCESS,
       0,
       [](Rig& rig, const Completion&) { EXPECT_FALSE(port(rig).control.dtr); }},
      not_implemented("ResetDevice", IOCTL_SERIAL_RESET_DEVICE),
      {"SetRts",
       IOCTL_SERIAL_SET_RTS,
       {},
       0,
       STATUS_SUCCESS,
       0,
       [](Rig& rig, const Completion&) { EXPECT_TRUE(port(rig).control.rts); }},
      {"ClrRts",
       IOCTL_SERIAL_CLR_RTS,
       {},
       0,
       STATUS_SUCCESS,
       0,
       [](Rig& rig, const Completion&) { EXPECT_FALSE(port(rig).control.rts); }},
      {"SetXoff", IOCTL_SERIAL_SET_XOFF, {}, 0, STATUS_SUCCESS, 0, none},
      {"SetXon", IOCTL_SERIAL_SET_XON, {}, 0, STATUS_SUCCESS, 0, none},
      {"GetWaitMask",
       IOCTL_SERIAL_GET_WAIT_MASK,
       {},
       4,
       STATUS_SUCCESS,
       4,
       [](Rig&, const Completion& c) { EXPECT_EQ(c.u32(), 0u); }},
      {"SetWaitMask", IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_CTS), 0, STATUS_SUCCESS, 0,
       [](Rig& rig, const Completion&) {
         EXPECT_EQ(port(rig).event_mask, (ULONG)(SERIAL_EV_CTS | SERIAL_EV_RXCHAR));
       }},
      {"Purge", IOCTL_SERIAL_PURGE, le32(0xF), 0, STATUS_SUCCESS, 0, none},
      {"GetBaudRate",
       IOCTL_SERIAL_GET_BAUD_RATE,
       {},
       4,
       STATUS_SUCCESS,
       4,
       [](Rig&, const Completion& c) { EXPECT_EQ(c.u32(), 0xFF16u); }},
      {"GetLineControl",
       IOCTL_SERIAL_GET_LINE_CONTROL,
       {},
       3,
       STATUS_SUCCESS,
       3,
       [](Rig&, const Completion& c) {
         auto lc = record_of<SERIAL_LINE_CONTROL>(c);
         EXPECT_EQ(lc.StopBits, STOP_BIT_1);
         EXPECT_EQ(lc.Parity, NO_PARITY);
         EXPECT_EQ(lc.WordLength, 8);
       }},
      {"GetChars", IOCTL_SERIAL_GET_CHARS, {}, 6, STATUS_SUCCESS, 6, none},
      {"SetChars",
       IOCTL_SERIAL_SET_CHARS,
       {0x1A, '?', 0x7F, '!', 0x11, 0x13},
       0,
       STATUS_SUCCESS,
       0,
       [](Rig& rig, const Completion&) {
         DCB dcb = port(rig).dcb;
         EXPECT_EQ(dcb.EofChar, 0x1A);
         EXPECT_EQ(dcb.ErrorChar, '?');
         EXPECT_EQ(dcb.EvtChar1, '!');
         EXPECT_EQ(dcb.XonChar, 0x11);
         EXPECT_EQ(dcb.XoffChar, 0x13);
       }},
      {"GetHandflow",
       IOCTL_SERIAL_GET_HANDFLOW,
       {},
       16,
       STATUS_SUCCESS,
       16,
       [](Rig&, const Completion& c) {
         auto hf = record_of<SERIAL_HANDFLOW>(c);
         EXPECT_EQ(hf.ControlHandShake, (ULONG)SERIAL_DTR_CONTROL);
         EXPECT_EQ(hf.FlowReplace, (ULONG)SERIAL_RTS_CONTROL);
       }},
      {"SetHandflow", IOCTL_SERIAL_SET_HANDFLOW, bytes_of(SERIAL_HANDFLOW{}), 0, STATUS_SUCCESS, 0,
       [](Rig& rig, const Completion&) { EXPECT_EQ(port(rig).dcb.BitMask, 0x83u); }},
      {"GetModemStatus", IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4, STATUS_SUCCESS, 4, none},
      {"GetCommStatus", IOCTL_SERIAL_GET_COMMSTATUS, {}, 20, STATUS_SUCCESS, 20, none},
      not_implemented("XoffCounter", IOCTL_SERIAL_XOFF_COUNTER),
      {"GetProperties",
       IOCTL_SERIAL_GET_PROPERTIES,
       {},
       64,
       STATUS_SUCCESS,
       64,
       [](Rig&, const Completion& c) {
         EXPECT_EQ(record_of<SERIAL_COMMPROP>(c).PacketLength, 64);
       }},
      {"GetDtrRts",
       IOCTL_SERIAL_GET_DTRRTS,
       {},
       4,
       STATUS_SUCCESS,
       4,
       // The port raised DTR and RTS at the open, but no SET_DTR or SET_RTS came.
       [](Rig&, const Completion& c) { EXPECT_EQ(c.u32(), 0u); }},
      not_implemented("LsrmstInsert", IOCTL_SERIAL_LSRMST_INSERT),
      not_implemented("ConfigSize", IOCTL_SERIAL_CONFIG_SIZE),
      invalid("GetCommConfig", IOCTL_SERIAL_GET_COMMCONFIG),
      invalid("SetCommConfig", IOCTL_SERIAL_SET_COMMCONFIG),
      not_implemented("GetStats", IOCTL_SERIAL_GET_STATS),
      not_implemented("ClearStats", IOCTL_SERIAL_CLEAR_STATS),
      not_implemented("GetModemControl", IOCTL_SERIAL_GET_MODEM_CONTROL),
      not_implemented("SetModemControl", IOCTL_SERIAL_SET_MODEM_CONTROL),
      not_implemented("SetFifoControl", IOCTL_SERIAL_SET_FIFO_CONTROL),
      invalid("NextSerialFunction", HS_SERIAL_CODE(40)),
      invalid("FunctionZero", HS_SERIAL_CODE(0)),
      invalid("OtherDeviceType", CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0)),
      invalid("OtherMethod", CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, 3, 0)),
  };
}

void PrintTo(const ControlCase& c, std::ostream* os) { *os << c.name; }

class ControlCode : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlCode, AnswersWithItsStatusInformationAndEffect) {
  const ControlCase& tc = GetParam();
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    ASSERT_TRUE(h.ok());
    Completion c = rig.client().ioctl(h, tc.code, tc.input, tc.output_length);
    EXPECT_EQ(c.status, tc.status) << std::hex << c.status;
    EXPECT_EQ(c.info, tc.info);
    EXPECT_EQ(c.completions, 1);
    tc.check(rig, c);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

INSTANTIATE_TEST_SUITE_P(Table, ControlCode, ::testing::ValuesIn(control_cases()),
                         [](const auto& info) { return info.param.name; });

// Each handler's minimum buffer, one byte short: refused before the port is called.
struct ShortCase {
  std::string name;
  ULONG code;
  ULONG input_length;
  ULONG output_length;
};

void PrintTo(const ShortCase& c, std::ostream* os) { *os << c.name; }

class ShortBuffer : public ::testing::TestWithParam<ShortCase> {};

TEST_P(ShortBuffer, IsRefusedBeforeAnyPortCall) {
  const ShortCase& tc = GetParam();
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    size_t calls = vcomm_calls(rig);
    Request request =
        Request::ioctl_in(tc.code, std::vector<uint8_t>(tc.input_length, 0), tc.output_length);
    Completion c = rig.client().call(h, request);
    EXPECT_EQ(c.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(c.info, 0u);
    EXPECT_EQ(vcomm_calls(rig), calls);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

INSTANTIATE_TEST_SUITE_P(
    OneByteShort, ShortBuffer,
    ::testing::Values(ShortCase{"SetBaudRate", IOCTL_SERIAL_SET_BAUD_RATE, 3, 0},
                      ShortCase{"SetQueueSize", IOCTL_SERIAL_SET_QUEUE_SIZE, 7, 0},
                      ShortCase{"SetLineControl", IOCTL_SERIAL_SET_LINE_CONTROL, 2, 0},
                      ShortCase{"ImmediateChar", IOCTL_SERIAL_IMMEDIATE_CHAR, 0, 0},
                      ShortCase{"SetTimeouts", IOCTL_SERIAL_SET_TIMEOUTS, 19, 0},
                      ShortCase{"GetTimeouts", IOCTL_SERIAL_GET_TIMEOUTS, 0, 19},
                      ShortCase{"GetWaitMask", IOCTL_SERIAL_GET_WAIT_MASK, 0, 3},
                      ShortCase{"SetWaitMask", IOCTL_SERIAL_SET_WAIT_MASK, 3, 0},
                      ShortCase{"WaitOnMask", IOCTL_SERIAL_WAIT_ON_MASK, 0, 3},
                      ShortCase{"Purge", IOCTL_SERIAL_PURGE, 3, 0},
                      ShortCase{"GetBaudRate", IOCTL_SERIAL_GET_BAUD_RATE, 0, 3},
                      ShortCase{"GetLineControl", IOCTL_SERIAL_GET_LINE_CONTROL, 0, 2},
                      ShortCase{"GetChars", IOCTL_SERIAL_GET_CHARS, 0, 5},
                      ShortCase{"SetChars", IOCTL_SERIAL_SET_CHARS, 5, 0},
                      ShortCase{"GetHandflow", IOCTL_SERIAL_GET_HANDFLOW, 0, 15},
                      ShortCase{"SetHandflow", IOCTL_SERIAL_SET_HANDFLOW, 15, 0},
                      ShortCase{"GetModemStatus", IOCTL_SERIAL_GET_MODEMSTATUS, 0, 3},
                      ShortCase{"GetCommStatus", IOCTL_SERIAL_GET_COMMSTATUS, 0, 19},
                      ShortCase{"GetProperties", IOCTL_SERIAL_GET_PROPERTIES, 0, 63},
                      ShortCase{"GetDtrRts", IOCTL_SERIAL_GET_DTRRTS, 0, 3}),
    [](const auto& info) { return info.param.name; });

// A port service that refuses: the status of the handler's table, and no output.
struct RefusedCase {
  std::string name;
  ULONG code;
  std::string service;
  std::vector<uint8_t> input;
  ULONG output_length;
  NTSTATUS status;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedPortCall : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedPortCall, AnswersItsFailureStatusWithoutOutput) {
  const RefusedCase& tc = GetParam();
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    stack.faults().fail_always("vcomm", tc.service);
    Completion c = rig.client().ioctl(h, tc.code, tc.input, tc.output_length);
    stack.faults().clear();
    EXPECT_EQ(c.status, tc.status) << std::hex << c.status;
    EXPECT_EQ(c.info, 0u);
    EXPECT_TRUE(c.data.empty());
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedPortCall,
    ::testing::Values(
        RefusedCase{
            "SetDtr", IOCTL_SERIAL_SET_DTR, "EscapeCommFunction", {}, 0, STATUS_UNSUCCESSFUL},
        RefusedCase{"SetBreakOn",
                    IOCTL_SERIAL_SET_BREAK_ON,
                    "EscapeCommFunction",
                    {},
                    0,
                    STATUS_UNSUCCESSFUL},
        RefusedCase{
            "SetXoff", IOCTL_SERIAL_SET_XOFF, "EscapeCommFunction", {}, 0, STATUS_UNSUCCESSFUL},
        RefusedCase{"GetModemStatus",
                    IOCTL_SERIAL_GET_MODEMSTATUS,
                    "GetModemStatus",
                    {},
                    4,
                    STATUS_UNSUCCESSFUL},
        RefusedCase{"SetTimeouts", IOCTL_SERIAL_SET_TIMEOUTS, "GetSetCommTimeouts",
                    bytes_of(timeouts(1, 1, 1)), 0, STATUS_UNSUCCESSFUL},
        RefusedCase{"GetTimeouts",
                    IOCTL_SERIAL_GET_TIMEOUTS,
                    "GetSetCommTimeouts",
                    {},
                    20,
                    STATUS_UNSUCCESSFUL},
        RefusedCase{"GetProperties",
                    IOCTL_SERIAL_GET_PROPERTIES,
                    "GetCommProperties",
                    {},
                    64,
                    STATUS_UNSUCCESSFUL},
        RefusedCase{"ImmediateChar",
                    IOCTL_SERIAL_IMMEDIATE_CHAR,
                    "TransmitCommChar",
                    {'A'},
                    0,
                    STATUS_INVALID_PARAMETER},
        RefusedCase{
            "GetBaudRate", IOCTL_SERIAL_GET_BAUD_RATE, "GetCommState", {}, 4, STATUS_UNSUCCESSFUL},
        RefusedCase{
            "GetHandflow", IOCTL_SERIAL_GET_HANDFLOW, "GetCommState", {}, 16, STATUS_UNSUCCESSFUL},
        RefusedCase{"SetLineControl",
                    IOCTL_SERIAL_SET_LINE_CONTROL,
                    "SetCommState",
                    {STOP_BIT_1, NO_PARITY, 8},
                    0,
                    STATUS_UNSUCCESSFUL},
        RefusedCase{"SetWaitMask", IOCTL_SERIAL_SET_WAIT_MASK, "SetCommEventMask",
                    le32(SERIAL_EV_CTS), 0, STATUS_UNSUCCESSFUL}),
    [](const auto& info) { return info.param.name; });

TEST(LineState, FollowsSuccessfulLineControlsOnlyAndNotThePort) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    auto dtr_rts = [&] { return rig.client().ioctl(h, IOCTL_SERIAL_GET_DTRRTS, {}, 4).u32(); };
    EXPECT_EQ(dtr_rts(), 0u);
    rig.client().ioctl(h, IOCTL_SERIAL_SET_DTR);
    rig.client().ioctl(h, IOCTL_SERIAL_SET_RTS);
    EXPECT_EQ(dtr_rts(), (ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE));

    // A refused CLR_DTR leaves the state as it was.
    stack.faults().fail_always("vcomm", "EscapeCommFunction");
    EXPECT_EQ(rig.client().ioctl(h, IOCTL_SERIAL_CLR_DTR).status, STATUS_UNSUCCESSFUL);
    stack.faults().clear();
    EXPECT_EQ(dtr_rts(), (ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE));

    rig.client().ioctl(h, IOCTL_SERIAL_CLR_RTS);
    EXPECT_EQ(dtr_rts(), (ULONG)SERIAL_DTR_STATE);

    // SET_HANDFLOW drives the lines but does not change the reported state.
    rig.client().ioctl(h, IOCTL_SERIAL_SET_HANDFLOW, bytes_of(SERIAL_HANDFLOW{}));
    EXPECT_EQ(dtr_rts(), (ULONG)SERIAL_DTR_STATE);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(HeldControl, IsParkedWithoutAReferenceAndCarriedOutAtTheStart) {
  StackOptions options;
  options.start = false;
  BridgeStack stack(options);
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    ASSERT_TRUE(h.ok());
    Pending p = rig.client().send(h, Request::ioctl_out(IOCTL_SERIAL_GET_DTRRTS, 4));
    EXPECT_FALSE(p.done());
    EXPECT_EQ(p.result().returned, STATUS_PENDING);
    EXPECT_EQ(stack.extension()->OutstandingIo, 1);
    EXPECT_EQ(stack.pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    const Completion& c = rig.client().wait(p);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.info, 4u);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

}  // namespace
}  // namespace hs::bridge_test
