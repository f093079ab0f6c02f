#!/usr/bin/python3
"""Bulk transfer through real descriptors at 115200 baud, in data mode.

Runs `hsbridge handset --pty` and moves N bytes through the handset's data
mode (it echoes them) twice: once with the client directly on the handset's
pty (no stack), once through `hsbridge serve --port COM2=<that pty>` (the
whole stack between the client and the handset). Prints the echoed bytes
per second of each and their ratio to the line rate (115200 baud, 8N1: 11520
bytes/s).

    bench/realport_throughput.py [--hsbridge build/bin/hsbridge] [--bytes 65536]

Needs python3-serial (scripts/install-deps).
"""
import argparse
import os
import signal
import subprocess
import sys
import threading
import time

import serial

LINE_RATE = 115200 / 10  # bytes per second at 8N1


def start(argv):
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    path = proc.stdout.readline().strip()
    if not path:
        proc.kill()
        sys.exit("no path from " + " ".join(argv))
    return proc, path


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()


def command(port, text, expect, timeout=5):
    port.reset_input_buffer()
    port.write(text)
    got = b""
    deadline = time.time() + timeout
    while expect not in got and time.time() < deadline:
        got += port.read(64)
    if expect not in got:
        sys.exit("%r: no %r, got %r" % (text, expect, got))


def bulk(port, count):
    """Writes `count` bytes and reads their echo; returns the seconds it took."""
    pattern = bytes(range(0x30, 0x7B))  # no '+': no escape to command mode
    data = (pattern * (count // len(pattern) + 1))[:count]
    received = bytearray()

    def writer():
        for i in range(0, count, 512):
            port.write(data[i:i + 512])

    start = time.perf_counter()
    thread = threading.Thread(target=writer)
    thread.start()
    deadline = time.time() + 10 + 3 * count / LINE_RATE
    while len(received) < count and time.time() < deadline:
        received += port.read(4096)
    elapsed = time.perf_counter() - start
    thread.join()
    if bytes(received) != data:
        sys.exit("%s: echo differs after %d of %d bytes (first difference at %d)" % (port.port, len(received), count, next((i for i in range(len(received)) if received[i] != data[i]), len(received))))
    return elapsed


def session(path, count, negotiate_first):
    port = serial.Serial(path, 9600 if negotiate_first else 115200, timeout=0.2)
    if negotiate_first:
        # Straight to the handset: wake it, switch it to 115200, follow.
        port.write(b"AT\r")
        time.sleep(0.1)
        command(port, b"AT\r", b"OK")
        command(port, b"AT+IPR=115200\r", b"OK")
        time.sleep(0.05)
        port.baudrate = 115200
    command(port, b"AT\r", b"OK")
    command(port, b"ATD123\r", b"CONNECT")
    elapsed = bulk(port, count)
    port.close()
    return count / elapsed


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--hsbridge", default=os.path.join(here, "..", "build", "bin", "hsbridge"))
    parser.add_argument("--bytes", type=int, default=65536)
    args = parser.parse_args()
    handset_argv = [args.hsbridge, "handset", "--pty", "--sleep", "off"]

    handset, handset_path = start(handset_argv)
    try:
        direct = session(handset_path, args.bytes, negotiate_first=True)
    finally:
        stop(handset)

    handset, handset_path = start(handset_argv)
    serve, served = start([args.hsbridge, "serve", "--port", "COM2=" + handset_path])
    try:
        stacked = session(served, args.bytes, negotiate_first=False)  # the stack negotiates
    finally:
        stop(serve)
        stop(handset)

    print("bulk echo of %d bytes in data mode at 115200 baud (line rate %.0f bytes/s)"
          % (args.bytes, LINE_RATE))
    print("  pty to pty, no stack : %8.0f bytes/s  %.3f of the line rate" % (direct, direct / LINE_RATE))
    print("  through the stack    : %8.0f bytes/s  %.3f of the line rate" % (stacked, stacked / LINE_RATE))
    print("  stack / no stack     : %.3f" % (stacked / direct))


if __name__ == "__main__":
    main()
