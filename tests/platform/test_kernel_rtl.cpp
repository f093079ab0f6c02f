// Counted strings and the debugger services.
#include <cstring>

#include "ke_fixture.h"

namespace hs::test {
namespace {

TEST(KernelRtl, InitUnicodeStringCountsBytesWithoutTheTerminator) {
  KernelFixture f;
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, reinterpret_cast<PCWSTR>(u"COM2"));
  EXPECT_EQ(s.Length, 8);
  EXPECT_EQ(s.MaximumLength, 10);
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
}

struct CopyCase {
  USHORT destination_max;  // bytes
  USHORT length;           // expected Length after the copy
  bool terminated;
};

class KernelRtlCopy : public ::testing::TestWithParam<CopyCase> {};

TEST_P(KernelRtlCopy, CopyTruncatesToTheDestination) {
  KernelFixture f;
  const CopyCase& c = GetParam();
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, reinterpret_cast<PCWSTR>(u"COM12"));
  WCHAR buffer[16];
  std::fill(std::begin(buffer), std::end(buffer), WCHAR(0xEEEE));
  UNICODE_STRING destination{0, c.destination_max, buffer};
  RtlCopyUnicodeString(&destination, &source);
  EXPECT_EQ(destination.Length, c.length);
  EXPECT_EQ(std::memcmp(buffer, u"COM12", c.length), 0);
  EXPECT_EQ(buffer[c.length / 2] == 0, c.terminated);
}

INSTANTIATE_TEST_SUITE_P(Sizes, KernelRtlCopy,
                         ::testing::Values(CopyCase{32, 10, true}, CopyCase{12, 10, true},
                                           CopyCase{10, 10, false}, CopyCase{6, 6, false}));

struct AnsiCase {
  USHORT maximum;
  NTSTATUS status;
};

class KernelRtlAnsi : public ::testing::TestWithParam<AnsiCase> {};

TEST_P(KernelRtlAnsi, ConversionNeedsRoomForTheTerminator) {
  KernelFixture f;
  RunResult result = f.run([&] {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, reinterpret_cast<PCWSTR>(u"9600"));
    char buffer[8] = "xxxxxxx";
    ANSI_STRING destination{0, GetParam().maximum, buffer};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&destination, &source, FALSE), GetParam().status);
    if (GetParam().status == STATUS_SUCCESS) {
      EXPECT_EQ(destination.Length, 4);
      EXPECT_STREQ(buffer, "9600");
    }
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

INSTANTIATE_TEST_SUITE_P(Sizes, KernelRtlAnsi,
                         ::testing::Values(AnsiCase{8, STATUS_SUCCESS}, AnsiCase{5, STATUS_SUCCESS},
                                           AnsiCase{4, STATUS_BUFFER_OVERFLOW},
                                           AnsiCase{0, STATUS_BUFFER_OVERFLOW}));

TEST(KernelDebugger, BreakpointIsATraceEventNamingTheDriver) {
  KernelFixture f;
  DeviceNode& node = f.install(node_spec("mini_fdo", {}, {RegistryValue::dword("BreakOnOpen", 1)}));
  RunResult result = f.run([&] {
    f.kernel.wait_pnp_idle();
    send_request(node.top(), {IRP_MJ_CREATE});
    DbgPrint("opened %d time(s)\n", 1);
    f.kernel.send_pnp(node, IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(f.kernel.breakpoints(), 1u);
  EXPECT_EQ(count_events(f.machine, "break", "dev", "mini_fdo"), 1);
  EXPECT_EQ(count_events(f.machine, "debug", "text", "opened 1 time(s)"), 1);
}

}  // namespace
}  // namespace hs::test
