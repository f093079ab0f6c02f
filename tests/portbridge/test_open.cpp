// Opening and closing the COM port: the name taken from AttachedTo and its
// second attempt in parentheses, the initial port state, the failures of
// create, a second create while the port is open, and what close ends.
#include <gtest/gtest.h>

#include "test_frame_support.h"

namespace hs::bridge_test {
namespace {

std::vector<std::string> open_attempts(Rig& rig) {
  std::vector<std::string> names;
  for (const TraceEvent& event : rig.events("vcomm"))
    if (event.str("svc") == "OpenComm") names.push_back(event.str("port"));
  return names;
}

RegistryValue utf16_binary(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  return RegistryValue::binary("AttachedTo", bytes);
}

struct NameCase {
  const char* name;
  std::optional<RegistryValue> value;
  std::vector<std::string> attempts;
  NTSTATUS status;
};

class BridgeOpenName : public ::testing::TestWithParam<NameCase> {};

TEST_P(BridgeOpenName, TriesTheNameThenTheTextInTheLastParentheses) {
  StackOptions options;
  options.attached_to.clear();
  options.attached_to_value = GetParam().value;
  BridgeStack stack(options);
  NTSTATUS status = STATUS_PENDING;
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    status = handle.open_status;
    if (handle.ok()) stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(status, GetParam().status);
  EXPECT_EQ(open_attempts(stack.rig()), GetParam().attempts);
  EXPECT_FALSE(stack.rig().vcomm().snapshot("COM2")->open);
}

const std::string kPadding(120, 'x');

INSTANTIATE_TEST_SUITE_P(
    Names, BridgeOpenName,
    ::testing::Values(
        NameCase{
            "PlainName", RegistryValue::string("AttachedTo", "COM2"), {"COM2"}, STATUS_SUCCESS},
        NameCase{"FriendlyName",
                 RegistryValue::string("AttachedTo", "Communications Port (COM2)"),
                 {"Communications Port (COM2)", "COM2"},
                 STATUS_SUCCESS},
        NameCase{"LastParentheses",
                 RegistryValue::string("AttachedTo", "Modem (COM2) (2)"),
                 {"Modem (COM2) (2)", "2"},
                 STATUS_UNSUCCESSFUL},
        NameCase{"NestedParentheses",
                 RegistryValue::string("AttachedTo", "A (B (COM2))"),
                 {"A (B (COM2))", "COM2)"},
                 STATUS_UNSUCCESSFUL},
        NameCase{"NoClosingParenthesis",
                 RegistryValue::string("AttachedTo", "Port (COM2"),
                 {"Port (COM2"},
                 STATUS_UNSUCCESSFUL},
        NameCase{"UnknownPort",
                 RegistryValue::string("AttachedTo", "COM9"),
                 {"COM9"},
                 STATUS_UNSUCCESSFUL},
        NameCase{"NoValue", std::nullopt, {""}, STATUS_UNSUCCESSFUL},
        NameCase{"BinaryWithoutTerminator", utf16_binary("COM2"), {"COM2"}, STATUS_SUCCESS},
        // 127 characters fit the ANSI buffer, 128 (a full 256-byte value) do not.
        NameCase{"LongestName",
                 RegistryValue::string("AttachedTo", kPadding + " (COM2)"),
                 {kPadding + " (COM2)", "COM2"},
                 STATUS_SUCCESS},
        NameCase{"NameTooLong", utf16_binary(kPadding + "x (COM2)"), {}, STATUS_UNSUCCESSFUL}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BridgeOpen, PutsThePortIntoItsInitialState) {
  StackOptions options;
  options.start = false;  // create is served before the start too
  BridgeStack stack(options);
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    ASSERT_TRUE(handle.ok());
    PortSnapshot port = *stack.rig().vcomm().snapshot("COM2");
    EXPECT_TRUE(port.open);
    EXPECT_EQ(port.dcb.BaudRate, (ULONG)CBR_9600);
    EXPECT_EQ(port.dcb.BitMask, 0x00140001u);
    EXPECT_EQ(port.dcb.ByteSize, 8);
    EXPECT_EQ(port.dcb.Parity, 0);
    EXPECT_EQ(port.dcb.StopBits, 0);
    EXPECT_EQ(port.dcb.XonLim, 0u);
    EXPECT_EQ(port.dcb.XoffLim, 0u);
    // The special characters keep what the port had (its defaults).
    EXPECT_EQ(port.dcb.XonChar, 0x11);
    EXPECT_EQ(port.dcb.XoffChar, 0x13);
    EXPECT_TRUE(port.control.dtr);
    EXPECT_TRUE(port.control.rts);
    EXPECT_EQ(port.event_mask, (ULONG)EV_RXCHAR);
    EXPECT_TRUE(port.notification);
    EXPECT_EQ(port.rx_size, 2048u);
    EXPECT_EQ(port.tx_size, 1024u);
    PBRIDGE_EXTENSION extension = stack.extension();
    EXPECT_EQ(extension->RxBufferSize, 2048u);
    EXPECT_EQ(extension->TxBufferSize, 1024u);
    EXPECT_EQ(stack.client().close(handle).status, STATUS_SUCCESS);
    port = *stack.rig().vcomm().snapshot("COM2");
    EXPECT_FALSE(port.open);
    EXPECT_EQ(extension->RxBuffer, nullptr);
    EXPECT_EQ(extension->TxBuffer, nullptr);
    EXPECT_EQ(extension->RxBufferSize, 0u);
    EXPECT_EQ(extension->TxBufferSize, 0u);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  for (const TraceEvent& event : stack.rig().events("vcomm"))
    if (event.str("svc") == "SetCommState") {
      EXPECT_NE(event.text.find("9600"), std::string::npos);
    }
}

// A failed create leaves the port closed and nothing allocated; the next
// create, without the fault, opens the port as usual.
struct CreateFailure {
  const char* name;
  std::function<void(FaultPlan&)> inject;
  NTSTATUS status;
  bool port_opened;  // whether _VCOMM_OpenComm succeeded before the failure
};

class BridgeCreateFailure : public ::testing::TestWithParam<CreateFailure> {};

TEST_P(BridgeCreateFailure, ClosesThePortAndFreesEverything) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    uint64_t path_blocks = stack.held("PBRG");
    GetParam().inject(stack.faults());
    Handle failed = stack.client().open();
    stack.faults().clear();
    EXPECT_EQ(failed.open_status, GetParam().status);
    EXPECT_FALSE(stack.rig().vcomm().snapshot("COM2")->open);
    EXPECT_FALSE(stack.rig().vcomm().snapshot("COM2")->notification);
    EXPECT_EQ(stack.held("PBRG"), path_blocks);
    EXPECT_EQ(stack.held("Wdm "), 0u);
    bool opened = false;
    for (const TraceEvent& event : stack.rig().events("vcomm"))
      opened |= event.str("svc") == "OpenComm" && event.num("ret") > 0;
    EXPECT_EQ(opened, GetParam().port_opened);

    Handle handle = stack.client().open();
    EXPECT_TRUE(handle.ok());
    EXPECT_EQ(stack.held("PBRG"), path_blocks + 2);
    stack.client().close(handle);
    EXPECT_EQ(stack.held("PBRG"), path_blocks);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(stack.held("PBRG"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sites, BridgeCreateFailure,
    ::testing::Values(
        CreateFailure{"ReceiveBuffer", [](FaultPlan& f) { f.fail_nth_at("pool", "PBRG", 2); },
                      STATUS_INSUFFICIENT_RESOURCES, true},
        CreateFailure{"TransmitBuffer", [](FaultPlan& f) { f.fail_nth_at("pool", "PBRG", 3); },
                      STATUS_INSUFFICIENT_RESOURCES, true},
        CreateFailure{"QueryRecord", [](FaultPlan& f) { f.fail_always("pool", "Wdm "); },
                      STATUS_UNSUCCESSFUL, false},
        CreateFailure{"ValueRead", [](FaultPlan& f) { f.fail_always("registry", "read"); },
                      STATUS_UNSUCCESSFUL, false},
        CreateFailure{"PortOpen", [](FaultPlan& f) { f.fail_always("vcomm", "OpenComm"); },
                      STATUS_UNSUCCESSFUL, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BridgeOpen, DriverKeyThatCannotBeOpenedFailsWithoutTouchingThePort) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    Handle first = stack.client().open();  // reads COM2 into the port name
    ASSERT_TRUE(first.ok());
    stack.client().close(first);
    size_t attempts = open_attempts(stack.rig()).size();
    stack.faults().fail_always("registry", "open");
    Handle failed = stack.client().open();
    stack.faults().clear();
    EXPECT_FALSE(NT_SUCCESS(failed.open_status));
    EXPECT_EQ(open_attempts(stack.rig()).size(), attempts);
    EXPECT_FALSE(stack.rig().vcomm().snapshot("COM2")->open);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

TEST(BridgeOpen, UnreadablePortStateStillGetsTheInitialSettings) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    stack.faults().fail_always("vcomm", "GetCommState");
    Handle handle = stack.client().open();
    stack.faults().clear();
    EXPECT_TRUE(handle.ok());
    PortSnapshot port = *stack.rig().vcomm().snapshot("COM2");
    EXPECT_EQ(port.dcb.ByteSize, 8);
    EXPECT_EQ(port.dcb.BaudRate, (ULONG)CBR_9600);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

TEST(BridgeOpen, SecondCreateWhileOpenIsRefusedAndLeavesThePortAlone) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    Handle first = stack.client().open();
    ASSERT_TRUE(first.ok());
    PortSnapshot port = *stack.rig().vcomm().snapshot("COM2");
    Handle second = stack.client().open();
    EXPECT_EQ(second.open_status, STATUS_ACCESS_DENIED);
    PortSnapshot after = *stack.rig().vcomm().snapshot("COM2");
    EXPECT_TRUE(after.open);
    EXPECT_EQ(after.handle, port.handle);
    EXPECT_EQ(after.rx_buffer, port.rx_buffer);
    EXPECT_EQ(after.tx_buffer, port.tx_buffer);
    EXPECT_EQ(stack.extension()->Port, port.handle);
    // The refused handle's close leaves the first handle's port open.
    if (second.file != nullptr) stack.client().close(second);
    EXPECT_TRUE(stack.rig().vcomm().snapshot("COM2")->open);
    EXPECT_EQ(stack.client().write(first, "AT\r").status, STATUS_SUCCESS);
    stack.client().close(first);
    EXPECT_FALSE(stack.rig().vcomm().snapshot("COM2")->open);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

TEST(BridgeClose, EndsAPendingWaitBeforeTheClose) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    Pending wait = stack.client().send(handle, Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));
    EXPECT_FALSE(wait.done());
    EXPECT_EQ(stack.client().close(handle).status, STATUS_SUCCESS);
    ASSERT_TRUE(wait.done());
    EXPECT_EQ(wait.result().status, STATUS_CANCELLED);
    EXPECT_EQ(wait.result().info, 0u);
    EXPECT_EQ(stack.extension()->OutstandingIo, 1);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  // The wait came back before the port was closed.
  uint64_t wait_done = 0, closed = 0;
  for (const TraceEvent& event : stack.rig().trace().events()) {
    if (event.ev == "request" && event.str("status") == "0xC0000120" && wait_done == 0)
      wait_done = event.seq;
    if (event.ev == "vcomm" && event.str("svc") == "CloseComm") closed = event.seq;
  }
  EXPECT_NE(wait_done, 0u);
  EXPECT_LT(wait_done, closed);
}

TEST(BridgeClose, FreesGrownQueuesAndTheNextOpenStartsAgainAtTheDefaults) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    std::vector<uint8_t> sizes = le32(4096);
    std::vector<uint8_t> out = le32(4096);
    sizes.insert(sizes.end(), out.begin(), out.end());
    EXPECT_EQ(stack.client().ioctl(handle, IOCTL_SERIAL_SET_QUEUE_SIZE, sizes).status,
              STATUS_SUCCESS);
    stack.client().close(handle);
    EXPECT_EQ(stack.held("PBRG"), 1u);  // the registry path only
    handle = stack.client().open();
    EXPECT_EQ(stack.rig().vcomm().snapshot("COM2")->rx_size, 2048u);
    EXPECT_EQ(stack.rig().vcomm().snapshot("COM2")->tx_size, 1024u);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

}  // namespace
}  // namespace hs::bridge_test
