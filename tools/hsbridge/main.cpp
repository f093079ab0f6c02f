// hsbridge: installs the device stack on the emulated machine, runs a
// scenario and shows every request, port call and byte on the line.
#include "tools/hsbridge/cli.h"

int main(int argc, char** argv) { return hs::tool::run_cli(argc, argv); }
