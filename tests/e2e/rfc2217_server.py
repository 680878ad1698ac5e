#!/usr/bin/env python3
"""A terminal server for the tests: pyserial's RFC 2217 server side (PortManager) in front of
a serial device (the simulator's pseudo-terminal), so the tool's RFC 2217 client is checked
against an implementation not written here.

Usage: rfc2217_server.py DEVICE [--log FILE]

Prints rfc2217://127.0.0.1:PORT as its first line, then serves one client after another
until SIGTERM. Each client adds pyserial's own record of its requests to the log, then one
line with the settings it asked for ("-": not asked) and the flow control it left:
    client N: baud=19200 data=8 parity=N stop=1 flow=none
"""

import argparse
import logging
import signal
import socket
import sys
import threading

import serial
import serial.rfc2217


class PtySerial(serial.Serial):
    """The simulator's pseudo-terminal, recording the line settings a client asks for.

    A pseudo-terminal has no modem lines (pyserial would ask the kernel for them and fail) and
    takes only 8 data bits without parity; the settings asked for are recorded before they are
    applied, so a refused one is still seen."""

    asked = None

    def _ask(self, name, prop, value):
        if self.asked is not None:
            self.asked[name] = value
        prop.fset(self, value)

    baudrate = serial.Serial.baudrate.setter(
        lambda self, v: self._ask("baud", serial.Serial.baudrate, v))
    bytesize = serial.Serial.bytesize.setter(
        lambda self, v: self._ask("data", serial.Serial.bytesize, v))
    parity = serial.Serial.parity.setter(
        lambda self, v: self._ask("parity", serial.Serial.parity, v))
    stopbits = serial.Serial.stopbits.setter(
        lambda self, v: self._ask("stop", serial.Serial.stopbits, v))

    @property
    def cts(self):
        return False

    @property
    def dsr(self):
        return False

    @property
    def ri(self):
        return False

    @property
    def cd(self):
        return False


class Connection:
    """What PortManager writes its answers to; the device's data goes the same way, so one
    lock keeps Telnet commands and data from interleaving mid-sequence."""

    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            self.sock.sendall(data)


def pump_to_client(port, manager, out, stop):
    """Device to client, IAC doubled, until the client is gone."""
    while not stop.is_set():
        try:
            data = port.read(port.in_waiting or 1)
        except serial.SerialException:
            break
        if data:
            try:
                out.write(b"".join(manager.escape(data)))
            except OSError:
                break


def serve(port, conn, number, log):
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    logger = logging.getLogger("rfc2217.client%d" % number)
    out = Connection(conn)
    manager = serial.rfc2217.PortManager(port, out, logger=logger)
    stop = threading.Event()
    reader = threading.Thread(target=pump_to_client, args=(port, manager, out, stop), daemon=True)
    reader.start()
    port.asked = {}
    try:
        while True:
            data = conn.recv(1024)
            if not data:
                break
            port.write(b"".join(manager.filter(data)))
    except (OSError, serial.SerialException) as e:
        logger.warning("client dropped: %s", e)
    finally:
        stop.set()
        reader.join(timeout=2)
        conn.close()
    asked = {k: port.asked.get(k, "-") for k in ("baud", "data", "parity", "stop")}
    port.asked = None
    flow = "hardware" if port.rtscts else "xonxoff" if port.xonxoff else "none"
    log.write("client %d: baud=%s data=%s parity=%s stop=%s flow=%s\n"
              % (number, asked["baud"], asked["data"], asked["parity"], asked["stop"], flow))
    log.flush()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("device")
    ap.add_argument("--log", default=None)
    args = ap.parse_args()

    log = open(args.log, "a") if args.log else sys.stderr
    handler = logging.StreamHandler(log)
    handler.setFormatter(logging.Formatter("  %(message)s"))
    root = logging.getLogger("rfc2217")
    root.addHandler(handler)
    root.setLevel(logging.INFO)

    port = PtySerial(args.device, baudrate=9600, stopbits=2, timeout=0.05)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("rfc2217://127.0.0.1:%d" % listener.getsockname()[1], flush=True)

    number = 0
    while True:
        conn, _ = listener.accept()
        number += 1
        serve(port, conn, number, log)


if __name__ == "__main__":
    main()
