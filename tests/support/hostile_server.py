#!/usr/bin/env python3
"""A network serial server that misbehaves, for the tests of what a peer may do to the tool.

Usage: hostile_server.py MODE [--scheme tcp|rfc2217]

Prints SCHEME://127.0.0.1:PORT as its first line, then serves every client in MODE until
SIGTERM:
    subneg     Telnet IAC SB COM-PORT-OPTION and then bytes without end, never IAC SE
    flood      data bytes as fast as the client takes them
    options    option requests without end (DO/WILL of options nobody supports); never reads
    noread     says nothing and never reads what the client sends
    noaccept   listens and never accepts; the accept queue is kept full, so a connect hangs
    reset      reads a command frame, answers half a reply and resets the connection
"""

import argparse
import os
import signal
import socket
import struct
import sys
import threading

IAC, SB, WILL, DO = 255, 250, 251, 253


def serve(conn, mode):
    try:
        if mode == "subneg":
            conn.sendall(bytes([IAC, SB, 44]))
            chunk = bytes([1]) * 65536
            while True:
                conn.sendall(chunk)
        elif mode == "flood":
            chunk = bytes(range(256)) * 256
            while True:
                conn.sendall(chunk)
        elif mode == "options":
            chunk = b"".join(bytes([IAC, DO if i % 2 else WILL, 100 + i % 100]) for i in range(20000))
            while True:
                conn.sendall(chunk)
        elif mode == "noread":
            threading.Event().wait()
        elif mode == "reset":
            got = b""
            while len(got) < 36:
                more = conn.recv(36 - len(got))
                if not more:
                    return
                got += more
            conn.sendall(b"\x00\x55" + got[2:18])
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    finally:
        conn.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["subneg", "flood", "options", "noread", "noaccept",
                                         "reset"])
    parser.add_argument("--scheme", default="tcp", choices=["tcp", "rfc2217"])
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    if args.mode == "noaccept":
        # A backlog of 0 holds one connection; two of our own fill it, and the kernel drops the
        # SYN of every connect after: the client waits for an answer that never comes.
        listener.listen(0)
        fillers = []
        for _ in range(2):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            try:
                s.connect(("127.0.0.1", port))
            except BlockingIOError:
                pass
            fillers.append(s)
    else:
        listener.listen(8)
    print(f"{args.scheme}://127.0.0.1:{port}", flush=True)
    if args.mode == "noaccept":
        threading.Event().wait()
    while True:
        conn, _ = listener.accept()
        if args.mode in ("noread", "options"):
            # Nothing taken from the client: its bytes stay in the kernel's small buffer.
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        threading.Thread(target=serve, args=(conn, args.mode), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
