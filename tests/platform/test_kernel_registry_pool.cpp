// Registry values of a device node as ZwQueryValueKey returns them, and
// tagged pool with its accounting, fill pattern, fault injection and misuse.
#include <cstring>

#include "ke_fixture.h"

namespace hs::test {
namespace {

constexpr ULONG kTst1 = 0x31545354;  // "TST1"
constexpr ULONG kTst2 = 0x32545354;  // "TST2"

UNICODE_STRING name_of(const std::u16string& text) {
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(text.c_str()));
  name.Length = static_cast<USHORT>(text.size() * 2);
  name.MaximumLength = name.Length;
  return name;
}

struct QueryCase {
  const char16_t* value;
  KEY_VALUE_INFORMATION_CLASS info_class;
  ULONG length;
  NTSTATUS status;
  ULONG result_length;  // reported in every case but "not found"
};

TEST(KernelRegistry, QueryValueKeyStatusesFollowTheBufferSize) {
  // "AttachedTo": 20 bytes of name; "COM2" is 10 bytes with its terminator.
  // Full record: 20 fixed + 20 name, data at 40 (pointer-aligned), 50 in all.
  const QueryCase cases[] = {
      {u"AttachedTo", KeyValueFullInformation, 0, STATUS_BUFFER_TOO_SMALL, 50},
      {u"AttachedTo", KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 50},
      {u"AttachedTo", KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW, 50},
      {u"AttachedTo", KeyValueFullInformation, 49, STATUS_BUFFER_OVERFLOW, 50},
      {u"AttachedTo", KeyValueFullInformation, 50, STATUS_SUCCESS, 50},
      {u"attachedto", KeyValueFullInformation, 64, STATUS_SUCCESS, 50},  // names ignore case
      {u"AttachedTo", KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL, 22},
      {u"AttachedTo", KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW, 22},
      {u"AttachedTo", KeyValuePartialInformation, 22, STATUS_SUCCESS, 22},
      {u"Count", KeyValueFullInformation, 64, STATUS_SUCCESS, 36},
      {u"Missing", KeyValueFullInformation, 64, STATUS_OBJECT_NAME_NOT_FOUND, 0},
  };
  KernelFixture f;
  DeviceNodeSpec spec =
      node_spec("mini_fdo", {},
                {RegistryValue::string("AttachedTo", "COM2"), RegistryValue::dword("Count", 7)});
  spec.hardware_key_exists = false;
  DeviceNode& node = f.install(spec);
  RunResult result = f.run([&] {
    f.kernel.wait_pnp_idle();
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(node.pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_SUCCESS);
    for (const QueryCase& c : cases) {
      std::u16string text = c.value;
      UNICODE_STRING name = name_of(text);
      alignas(8) UCHAR buffer[64];
      std::memset(buffer, 0xEE, sizeof buffer);
      ULONG result_length = 0;
      NTSTATUS status = ZwQueryValueKey(key, &name, c.info_class, buffer, c.length, &result_length);
      SCOPED_TRACE(std::string(text.begin(), text.end()) + " class " +
                   std::to_string(c.info_class) + " length " + std::to_string(c.length));
      EXPECT_EQ(status, c.status);
      if (c.status != STATUS_OBJECT_NAME_NOT_FOUND) {
        EXPECT_EQ(result_length, c.result_length);
      }
      if (c.status == STATUS_BUFFER_TOO_SMALL) {
        EXPECT_EQ(buffer[0], 0xEE);  // nothing written
      }
      if (c.info_class == KeyValueFullInformation && c.length >= 20 &&
          c.status != STATUS_OBJECT_NAME_NOT_FOUND) {
        auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
        EXPECT_EQ(info->NameLength, text.size() * 2);
        EXPECT_EQ(info->DataOffset % sizeof(PVOID), 0u);
        if (c.status == STATUS_SUCCESS && info->Type == REG_SZ) {
          EXPECT_EQ(info->DataLength, 10u);
          EXPECT_EQ(std::memcmp(buffer + info->DataOffset, u"COM2", 10), 0);
        }
        if (c.status == STATUS_SUCCESS && info->Type == REG_DWORD) {
          ULONG value;
          std::memcpy(&value, buffer + info->DataOffset, sizeof value);
          EXPECT_EQ(value, 7u);
        }
      }
    }
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    EXPECT_EQ(IoOpenDeviceRegistryKey(node.pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoOpenDeviceRegistryKey(node.top(), PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST);  // not the PDO
    f.machine.faults().fail_always("registry", "open");
    EXPECT_EQ(IoOpenDeviceRegistryKey(node.pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_INSUFFICIENT_RESOURCES);
    f.machine.faults().clear();
    ASSERT_EQ(IoOpenDeviceRegistryKey(node.pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_SUCCESS);
    f.machine.faults().fail_always("registry", "read");
    std::u16string count = u"Count";
    UNICODE_STRING name = name_of(count);
    UCHAR buffer[64];
    ULONG length;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &length),
              STATUS_INSUFFICIENT_RESOURCES);
    f.machine.faults().clear();
    ZwClose(key);
    ZwClose(key);  // closed twice: a report
  });
  ASSERT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("VERIFIER: bad handle"), std::string::npos) << result.report;
}

TEST(KernelPool, BlocksAreFilledAndAccountedByTag) {
  KernelFixture f;
  EXPECT_EQ(Kernel::tag_name(0x47524250), "PBRG");  // 'GRBP' reads "PBRG" in memory
  RunResult result = f.run([&] {
    auto* a = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 100, kTst1));
    void* b = ExAllocatePoolWithTag(PagedPool, 28, kTst1);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 8, kTst2);
    ASSERT_TRUE(a && b && c);
    bool zero = true;
    for (int i = 0; i < 100; ++i) zero = zero && a[i] == 0;
    EXPECT_FALSE(zero);  // new pool is never handed out zeroed
    TagUsage tst1 = f.kernel.pool_usage("TST1");
    EXPECT_EQ(tst1.allocations, 2u);
    EXPECT_EQ(tst1.blocks_held, 2u);
    EXPECT_EQ(tst1.bytes_held, 128u);
    ExFreePoolWithTag(a, kTst1);
    ExFreePool(b);
    tst1 = f.kernel.pool_usage("TST1");
    EXPECT_EQ(tst1.frees, 2u);
    EXPECT_EQ(tst1.bytes_held, 0u);
    EXPECT_EQ(tst1.peak_bytes, 128u);
    EXPECT_EQ(f.kernel.pool_report(), "'TST2': 1 block(s), 8 bytes held\n");
    // Calls of a site are counted from the start: two so far.
    f.machine.faults().fail_nth_at("pool", "TST1", 4);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 4, kTst1);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTst1), nullptr);
    EXPECT_EQ(f.kernel.pool_usage("TST1").failures, 1u);
    ExFreePool(first);
    ExFreePool(c);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(f.kernel.pool_blocks_held(), 0u);
}

struct MisuseCase {
  const char* name;
  std::function<void()> misuse;
  const char* rule;
};

class KernelPoolMisuse : public ::testing::TestWithParam<int> {};

const MisuseCase& misuse_case(int index) {
  static const MisuseCase cases[] = {
      {"FreedTwice",
       [] {
         void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTst1);
         ExFreePool(p);
         ExFreePool(p);
       },
       "pool freed twice"},
      {"WrongTag", [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 16, kTst1), kTst2); },
       "pool freed with the wrong tag"},
      {"ForeignPointer",
       [] {
         static char not_pool[16];
         ExFreePool(not_pool);
       },
       "free of memory not from the pool"},
      {"ZeroSize", [] { ExAllocatePoolWithTag(NonPagedPool, 0, kTst1); },
       "zero-size pool allocation"},
      {"PagedAtDispatch",
       [] {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         ExAllocatePoolWithTag(PagedPool, 16, kTst1);
       },
       "service called above its IRQL"},
  };
  return cases[index];
}

TEST_P(KernelPoolMisuse, StopsTheRun) {
  const MisuseCase& c = misuse_case(GetParam());
  KernelFixture f;
  RunResult result = f.run(c.misuse);
  ASSERT_EQ(result.outcome, RunOutcome::Violation) << c.name;
  EXPECT_NE(result.report.find(std::string("VERIFIER: ") + c.rule), std::string::npos)
      << result.report;
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelPoolMisuse, ::testing::Range(0, 5),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(misuse_case(info.param).name);
                         });

}  // namespace
}  // namespace hs::test
