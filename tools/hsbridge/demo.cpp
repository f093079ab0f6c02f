#include "tools/hsbridge/demo.h"

namespace hs::tool {

std::string_view demo_scenario() {
  return R"SCENARIO(# hsbridge demo: the modem stack changes the handset's speed.
# The built-in device node: function driver portbridge, upper filter
# ratefilter, AttachedTo "Communications Port (COM2)".
start
open
ioctl SET_TIMEOUTS 20 0 200 0 2000
expect status SUCCESS
# ratefilter negotiates 115200 with the handset before the port changes.
ioctl SET_BAUD_RATE 115200
expect status SUCCESS
write "ATI\r"
expect status SUCCESS info 4
# Let the answer arrive, then take it in one read; a read that stops short
# of its length on the interval rule ends with TIMEOUT.
sleep 50ms
read 64
expect status TIMEOUT
ioctl PURGE 0x0F
expect status SUCCESS
close
pnp remove
)SCENARIO";
}

}  // namespace hs::tool
