#!/usr/bin/env python3
"""Builds portbridge.sys and ratefilter.sys with the target-i686 preset and
checks the images with the toolchain's objdump.

  check_images.py SOURCE_DIR BUILD_DIR

Exits 77 (skipped) when the mingw-w64 i686 toolchain is not installed.
"""
import re
import shutil
import subprocess
import sys

TRIPLET = "i686-w64-mingw32"
SKIP = 77

# The port services portbridge calls: VCOMM (0x002B) in the jump form, and
# VMM's Schedule_Global_Event (0x0001) called through its register wrapper.
VCOMM_SERVICES = {
    "OpenComm": 0x04,
    "SetCommState": 0x05,
    "GetCommState": 0x06,
    "SetupComm": 0x07,
    "TransmitCommChar": 0x08,
    "CloseComm": 0x09,
    "GetCommQueueStatus": 0x0A,
    "ClearCommError": 0x0B,
    "GetModemStatus": 0x0C,
    "GetCommProperties": 0x0D,
    "EscapeCommFunction": 0x0E,
    "PurgeComm": 0x0F,
    "SetCommEventMask": 0x10,
    "GetCommEventMask": 0x11,
    "WriteComm": 0x12,
    "ReadComm": 0x13,
    "EnableCommNotification": 0x14,
    "GetSetCommTimeouts": 0x1A,
}
VCOMM_JUMP = {name: 0x002B0000 | 0x8000 | n for name, n in VCOMM_SERVICES.items()}
SCHEDULE_GLOBAL_EVENT = 0x0001000E
EXPECTED_WORDS = set(VCOMM_JUMP.values()) | {SCHEDULE_GLOBAL_EVENT}

IMAGE_FILE_DLL = 0x2000


class Image:
    """What objdump tells of one PE image."""

    def __init__(self, objdump, path):
        self.path = path
        self.headers = run([objdump, "-p", path])
        self.sections = run([objdump, "-h", path])
        self.disassembly = run([objdump, "-d", path])
        self.text_dump = run([objdump, "-s", "-j", ".text", path])
        self.symbol_table = run([objdump, "-t", path])

    def header(self, name):
        m = re.search(r"^%s\s+([0-9a-fA-F]+)" % re.escape(name), self.headers, re.M)
        return int(m.group(1), 16) if m else None

    def imported_dlls(self):
        return set(re.findall(r"^\s*DLL Name: (\S+)", self.headers, re.M))

    def directory(self, index):
        """(rva, size) of a data directory entry."""
        m = re.search(r"^Entry %x ([0-9a-fA-F]+) ([0-9a-fA-F]+)" % index, self.headers, re.M)
        return (int(m.group(1), 16), int(m.group(2), 16)) if m else (0, 0)

    def symbols(self):
        """Addresses (VMA) of the functions objdump labels in its disassembly."""
        return {name: int(addr, 16)
                for addr, name in re.findall(r"^([0-9a-f]+) <([^>]+)>:", self.disassembly, re.M)}

    def table_symbol(self, name):
        """(section number, offset) of a symbol in the COFF symbol table."""
        m = re.search(r"\(sec\s+(\d+)\).*0x([0-9a-f]+) %s$" % re.escape(name), self.symbol_table,
                      re.M)
        return (int(m.group(1)), int(m.group(2), 16)) if m else None

    def text_bytes(self):
        """{VMA: byte} of .text."""
        out = {}
        for line in self.text_dump.splitlines():
            m = re.match(r"^ ([0-9a-f]+) ((?:[0-9a-f]{2,8} ){1,4})", line + " ")
            if not m:
                continue
            addr = int(m.group(1), 16)
            for byte in bytes.fromhex("".join(m.group(2).split())):
                out[addr] = byte
                addr += 1
        return out

    def int20_sites(self):
        """VMAs of INT 20h instructions as the disassembler decodes them."""
        return [int(a, 16) for a in
                re.findall(r"^\s*([0-9a-f]+):\s+cd 20\s+int\s+\$0x20", self.disassembly, re.M)]


def run(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs).stdout


def service_word(text, addr):
    return sum(text[addr + 2 + i] << (8 * i) for i in range(4))


def check_common(image, failures):
    """PE32, native, not a DLL, no exports, entered at DriverEntry, relocatable,
    no global constructors."""
    def fail(message):
        failures.append("%s: %s" % (image.path, message))

    if "file format pei-i386" not in image.headers:
        fail("not a PE image for i386")
    if not re.search(r"^Magic\s+010b\s+\(PE32\)", image.headers, re.M):
        fail("optional header is not PE32")
    if image.header("Subsystem") != 1:
        fail("subsystem is %s, not native (1)" % image.header("Subsystem"))
    characteristics = image.header("Characteristics")
    if characteristics is None or characteristics & IMAGE_FILE_DLL:
        fail("file header marks a DLL (characteristics %s)" % characteristics)
    if image.directory(0) != (0, 0) or "There is an export table" in image.headers:
        fail("has an export table")
    symbols = image.symbols()
    entry = image.header("AddressOfEntryPoint")
    base = image.header("ImageBase")
    driver_entry = symbols.get("_DriverEntry@8")
    if driver_entry is None:
        fail("no _DriverEntry@8 (stdcall DriverEntry) in the image")
    elif entry is None or base is None or base + entry != driver_entry:
        fail("entry point %s is not DriverEntry at %#x" % (entry, driver_entry - (base or 0)))
    if image.directory(5)[1] == 0:
        fail("no base relocations: the loader could not move the image")
    # The constructor list is its two markers (-1 and 0) when no object needs
    # constructing; nothing would run the constructors in the kernel.
    ctors, dtors = image.table_symbol("___CTOR_LIST__"), image.table_symbol("___DTOR_LIST__")
    if ctors is None or dtors is None or ctors[0] != dtors[0]:
        fail("no constructor and destructor lists to check for global constructors")
    elif dtors[1] - ctors[1] != 8:
        fail("has global constructors (constructor list of %d bytes)" % (dtors[1] - ctors[1]))


def check_services(image, expect_any, failures):
    """Every INT 20h service word, decoded and raw, against the expected set."""
    text = image.text_bytes()
    sites = image.int20_sites()
    words = {service_word(text, a) for a in sites}
    # A service call the disassembler did not decode (inside a mis-decoded
    # run) still shows in the raw bytes: cd 20 and a VCOMM or VMM device id.
    decoded = set(sites)
    for addr, byte in text.items():
        if byte == 0xCD and text.get(addr + 1) == 0x20 and addr + 5 in text:
            word = service_word(text, addr)
            if word >> 16 in (0x002B, 0x0001) and addr not in decoded:
                failures.append("%s: undecoded INT 20h %#010x at %#x" % (image.path, word, addr))
    if not expect_any:
        if words:
            failures.append("%s: INT 20h service calls %s" % (
                image.path, ", ".join("%#010x" % w for w in sorted(words))))
        return
    if words != EXPECTED_WORDS:
        missing = EXPECTED_WORDS - words
        extra = words - EXPECTED_WORDS
        failures.append("%s: INT 20h service words differ; missing %s, unexpected %s" % (
            image.path, [hex(w) for w in sorted(missing)], [hex(w) for w in sorted(extra)]))
    symbols = image.symbols()
    for name, word in VCOMM_JUMP.items():
        addr = symbols.get("__VCOMM_" + name)
        if addr is None:
            failures.append("%s: no stub _VCOMM_%s" % (image.path, name))
        elif text.get(addr) != 0xCD or text.get(addr + 1) != 0x20 or \
                service_word(text, addr) != word:
            failures.append("%s: _VCOMM_%s is not INT 20h %#010x" % (image.path, name, word))


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    source, build = sys.argv[1], sys.argv[2]
    compiler = shutil.which(TRIPLET + "-g++")
    objdump = shutil.which(TRIPLET + "-objdump")
    if not compiler or not objdump:
        print("SKIPPED: the %s toolchain is not installed (scripts/install-deps)" % TRIPLET)
        return SKIP

    shutil.rmtree(build, ignore_errors=True)
    for command in (["cmake", "--preset", "target-i686", "-B", build],
                    ["cmake", "--build", build, "-j1"]):
        result = subprocess.run(command, cwd=source, capture_output=True, text=True)
        if result.returncode != 0:
            print("FAILED: %s\n%s%s" % (" ".join(command), result.stdout, result.stderr))
            return 1

    failures = []
    bridge = Image(objdump, build + "/bin/portbridge.sys")
    filter_ = Image(objdump, build + "/bin/ratefilter.sys")
    for image in (bridge, filter_):
        check_common(image, failures)

    dlls = {d.lower() for d in filter_.imported_dlls()}
    if dlls != {"ntoskrnl.exe"}:
        failures.append("%s: imports from %s, not from ntoskrnl.exe only" % (
            filter_.path, sorted(filter_.imported_dlls())))
    dlls = {d.lower() for d in bridge.imported_dlls()}
    if "ntoskrnl.exe" not in dlls or not dlls <= {"ntoskrnl.exe", "hal.dll"}:
        failures.append("%s: imports from %s, not from ntoskrnl.exe and HAL.dll only" % (
            bridge.path, sorted(bridge.imported_dlls())))

    check_services(bridge, True, failures)
    check_services(filter_, False, failures)

    for failure in failures:
        print("FAILED: " + failure)
    if failures:
        return 1
    print("portbridge.sys and ratefilter.sys: PE32, native, entered at DriverEntry, "
          "imports and service calls as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
