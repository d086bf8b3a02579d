#!/usr/bin/env python3
"""Times the two ends of the server's life as a service sees them.

1. From process start to the first accepted connection (the greeting read).
2. From SIGTERM to process exit while 100 idle clients are connected.

The server runs from a scratch installation folder (a copy of the binary and a registry file
that registers it and names a free port), as a plain process started by hand. Each figure is
the median of --runs runs.

Usage: service_lifecycle.py path/to/VServerService [--runs N] [--clients N]
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import tempfile
import time

APPID_GUID = "{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}"
GREETING = b"1\xa70\xa7\xbb\n"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def prepare(folder, binary, port):
    exe = os.path.join(folder, "VServerService")
    shutil.copy2(binary, exe)
    master = os.path.join(folder, "master")
    os.makedirs(os.path.join(master, "Users"))
    registry = (
        "REGEDIT4\r\n\r\n"
        f"[HKEY_CLASSES_ROOT\\AppID\\{APPID_GUID}]\r\n@=\"VServerService\"\r\n\r\n"
        f"[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n\"AppID\"=\"{APPID_GUID}\"\r\n\r\n"
        f"[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n\"MasterPath\"=\"{master}\"\r\n\r\n"
        f"[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n\"PortNumber\"=\"{port}\"\r\n\r\n"
    )
    with open(os.path.join(folder, "VServerService.reg"), "w", newline="") as f:
        f.write(registry)
    return exe


def connect_with_greeting(port, deadline):
    while True:
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=1)
            data = b""
            while len(data) < len(GREETING):
                chunk = s.recv(64)
                if not chunk:
                    raise ConnectionError("closed before the greeting")
                data += chunk
            return s
        except (ConnectionRefusedError, ConnectionResetError):
            if time.monotonic() > deadline:
                raise
            time.sleep(0.0005)


def one_run(binary, clients):
    folder = tempfile.mkdtemp(prefix="vserver-bench-")
    try:
        port = free_port()
        exe = prepare(folder, binary, port)
        env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "VSERVER_REGISTRY")}
        started = time.monotonic()
        process = subprocess.Popen([exe], cwd=folder, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        first = connect_with_greeting(port, started + 20)
        to_accepting = time.monotonic() - started

        idle = [first] + [connect_with_greeting(port, time.monotonic() + 20) for _ in range(clients - 1)]
        time.sleep(0.2)
        stopping = time.monotonic()
        process.send_signal(signal.SIGTERM)
        status = process.wait(timeout=60)
        to_exit = time.monotonic() - stopping
        for s in idle:
            s.close()
        return to_accepting, to_exit, status
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--clients", type=int, default=100)
    args = parser.parse_args()

    starts, stops = [], []
    for _ in range(args.runs):
        to_accepting, to_exit, status = one_run(os.path.abspath(args.binary), args.clients)
        starts.append(to_accepting)
        stops.append(to_exit)
        if status != 0:
            print(f"warning: exit status {status}")
    print(f"start to accepting connections: median {statistics.median(starts) * 1000:.1f} ms "
          f"(min {min(starts) * 1000:.1f}, max {max(starts) * 1000:.1f}, {args.runs} runs)")
    print(f"SIGTERM to exit with {args.clients} idle connections: median {statistics.median(stops) * 1000:.1f} ms "
          f"(min {min(stops) * 1000:.1f}, max {max(stops) * 1000:.1f})")


if __name__ == "__main__":
    main()
