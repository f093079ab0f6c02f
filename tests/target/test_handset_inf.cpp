// The Windows 98/Me installation file of the driver images, read by the
// emulated machine: the stack it names (NTMPDriver in the driver key, bottom
// to top), its registry values, and the stack it builds running end to end.
#include <gtest/gtest.h>
#include <ntddser.h>

#include <string>
#include <vector>

#include "sim/device_node_file.h"
#include "sim/rig.h"

namespace {

using hs::Completion;
using hs::Handle;

const std::string kShippedInf = HS_TARGET_INF;

const hs::RegistryValue* find(const std::vector<hs::RegistryValue>& key, const std::string& name) {
  for (const auto& value : key)
    if (value.name == name) return &value;
  return nullptr;
}

TEST(HandsetInf, NamesPortbridgeWithRatefilterAboveAndTheComPort) {
  hs::DeviceNodeParse parse = hs::load_device_node_file(kShippedInf);
  ASSERT_TRUE(parse.ok()) << parse.error;
  EXPECT_EQ(parse.spec->function_driver, "portbridge");
  EXPECT_EQ(parse.spec->upper_filters, std::vector<std::string>{"ratefilter"});

  const hs::RegistryValue* attached = find(parse.spec->driver_key, "AttachedTo");
  ASSERT_NE(attached, nullptr);
  EXPECT_EQ(attached->data, hs::RegistryValue::string("AttachedTo", "COM2").data);
  // The installed node does not break into the debugger.
  for (const char* name : {"TraceScope", "Breakpoints"}) {
    const hs::RegistryValue* value = find(parse.spec->hardware_key, name);
    ASSERT_NE(value, nullptr) << name;
    EXPECT_EQ(value->data, hs::RegistryValue::dword(name, 0).data) << name;
  }
}

// NTMPDriver, and how it agrees with AddService (flag 0x2) and UpperFilters
// when a file names the stack both ways.
TEST(HandsetInf, NtmpDriverNamesTheStackBottomToTop) {
  const std::string head =
      "[Version]\nSignature=\"$Chicago$\"\n[Manufacturer]\nM=Models\n"
      "[Models]\nH=Inst, SERENUM\\HSB0001\n[Inst]\nAddReg=Drv\n[Inst.HW]\nAddReg=Hw\n";
  const std::string services =
      "[Inst.Services]\nAddService=portbridge,0x00000002,Svc\n[Svc]\n"
      "ServiceBinary=%12%\\portbridge.sys\n";
  struct Case {
    const char* name;
    std::string driver_key;    // lines of [Drv]
    std::string hardware_key;  // lines of [Hw]
    bool with_services;
    std::string function_driver;       // expected; empty: an error
    std::vector<std::string> filters;  // expected
    std::string error;                 // part of the expected message
  };
  const std::vector<Case> cases = {
      {"list with paths and blanks",
       "HKR,,NTMPDriver,,\"%12%\\portbridge.sys, ratefilter.sys\"\n",
       "",
       false,
       "portbridge",
       {"ratefilter"},
       ""},
      {"function driver alone",
       "HKR,,NTMPDriver,,\"portbridge.sys\"\n",
       "",
       false,
       "portbridge",
       {},
       ""},
      {"agrees with AddService and UpperFilters",
       "HKR,,NTMPDriver,,\"portbridge.sys,ratefilter.sys\"\n",
       "HKR,,UpperFilters,0x00010000,\"ratefilter\"\n",
       true,
       "portbridge",
       {"ratefilter"},
       ""},
      {"another function driver than AddService",
       "HKR,,NTMPDriver,,\"serial.sys,ratefilter.sys\"\n",
       "",
       true,
       "",
       {},
       "NTMPDriver's function driver serial"},
      {"other filters than UpperFilters",
       "HKR,,NTMPDriver,,\"portbridge.sys,other.sys\"\n",
       "HKR,,UpperFilters,0x00010000,\"ratefilter\"\n",
       true,
       "",
       {},
       "NTMPDriver's filters are not the UpperFilters"},
      {"no driver in the list",
       "HKR,,NTMPDriver,,\" , \"\n",
       "",
       false,
       "",
       {},
       "NTMPDriver names no driver"},
      {"only in the hardware key",
       "HKR,,AttachedTo,,\"COM2\"\n",
       "HKR,,NTMPDriver,,\"portbridge.sys\"\n",
       false,
       "",
       {},
       "naming the function driver"},
  };
  for (const Case& c : cases) {
    std::string text = head + "[Drv]\n" + c.driver_key + "[Hw]\n" + c.hardware_key +
                       (c.with_services ? services : "");
    hs::DeviceNodeParse parse = hs::parse_device_node_file(text, "case.inf");
    if (c.function_driver.empty()) {
      EXPECT_FALSE(parse.ok()) << c.name;
      EXPECT_NE(parse.error.find(c.error), std::string::npos) << c.name << ": " << parse.error;
      EXPECT_EQ(parse.error.rfind("case.inf:", 0), 0u) << c.name << ": " << parse.error;
      continue;
    }
    ASSERT_TRUE(parse.ok()) << c.name << ": " << parse.error;
    EXPECT_EQ(parse.spec->function_driver, c.function_driver) << c.name;
    EXPECT_EQ(parse.spec->upper_filters, c.filters) << c.name;
  }
}

// The stack the shipped file builds on the emulated machine: a negotiated
// rate, traffic with the handset, removal, nothing left in the pool.
TEST(HandsetInf, InstalledStackNegotiatesTalksAndIsRemovedClean) {
  hs::Rig rig;
  hs::DeviceNode* node = &rig.install_file(kShippedInf);
  Completion rate, write, read;
  NTSTATUS removed = STATUS_PENDING;
  hs::RunResult result = rig.run([&] {
    Handle h = rig.client().open();
    ASSERT_TRUE(h.ok());
    rate = rig.client().ioctl(h, IOCTL_SERIAL_SET_BAUD_RATE, hs::le32(57600));
    std::vector<uint8_t> timeouts(20, 0);    // SERIAL_TIMEOUTS
    timeouts[0] = 50;                        // interval 50 ms
    timeouts[8] = 0xF4, timeouts[9] = 0x01;  // total constant 500 ms
    rig.client().ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
    write = rig.client().write(h, "ATI\r");
    rig.machine().sleep_for(50 * hs::kMillisecond);
    read = rig.client().read(h, 64);
    rig.client().close(h);
    removed = rig.kernel().send_pnp(*node, IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(rate.status, STATUS_SUCCESS);
  EXPECT_EQ(rig.handset().rate(), 57600u);
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_NE(read.text().find("OK"), std::string::npos) << read.text();
  EXPECT_EQ(removed, STATUS_SUCCESS);
  EXPECT_EQ(node->state, hs::NodeState::Removed);
  EXPECT_EQ(rig.kernel().pool_blocks_held(), 0u) << rig.kernel().pool_report();
}

}  // namespace
