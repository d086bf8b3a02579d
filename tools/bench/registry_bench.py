#!/usr/bin/env python3
"""Times the server against a large registry file: many values in the Options key.

For each size, from a scratch installation folder (a copy of the binary and a registry file
that registers it and names a free port):
1. start-up: from process start to the first greeting read (the median of --runs runs);
2. request 206 (option read) on one connection, one request after the other, for --seconds,
   once the file is a few seconds old (a file changed just before may be read again each time).

Usage: registry_bench.py path/to/VServerService [--values 20000 40000] [--runs 3] [--seconds 3]
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import tempfile
import time

from service_lifecycle import APPID_GUID, connect_with_greeting, free_port

END = b"\xbb\n"


def prepare(folder, binary, port, values):
    exe = os.path.join(folder, "VServerService")
    shutil.copy2(binary, exe)
    master = os.path.join(folder, "master")
    os.makedirs(os.path.join(master, "Users"))
    lines = [
        "REGEDIT4\r\n\r\n",
        f"[HKEY_CLASSES_ROOT\\AppID\\{APPID_GUID}]\r\n@=\"VServerService\"\r\n\r\n",
        f"[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n\"AppID\"=\"{APPID_GUID}\"\r\n\r\n",
        f"[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n\"MasterPath\"=\"{master}\"\r\n\r\n",
        f"[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n\"PortNumber\"=\"{port}\"\r\n\r\n",
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n",
    ]
    lines += [f"\"Option{i}\"=\"value of option {i}\"\r\n" for i in range(values)]
    with open(os.path.join(folder, "VServerService.reg"), "w", newline="", encoding="latin-1") as f:
        f.write("".join(lines))
    return exe


def read_message(s, pending):
    while END not in pending:
        chunk = s.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        pending += chunk
    at = pending.index(END)
    return pending[:at], pending[at + len(END):]


def option_reads(port, values, seconds):
    s = connect_with_greeting(port, time.monotonic() + 20)
    # One read may take long when every request reads the whole file again.
    s.settimeout(None)
    name = f"Option{values // 2}".encode()
    request = b"1\xa7\xa7\xa7206\xa7\xa7\xa7" + name + b"\xa7default" + END
    pending = b""
    count = 0
    deadline = time.monotonic() + seconds
    started = time.monotonic()
    while time.monotonic() < deadline or count == 0:
        s.sendall(request)
        reply, pending = read_message(s, pending)
        if not reply.endswith(b"value of option " + str(values // 2).encode()):
            raise RuntimeError(f"unexpected reply {reply!r}")
        count += 1
    elapsed = time.monotonic() - started
    s.close()
    return count / elapsed


def one_run(binary, values, seconds):
    folder = tempfile.mkdtemp(prefix="vserver-registry-bench-")
    try:
        port = free_port()
        exe = prepare(folder, binary, port, values)
        env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "VSERVER_REGISTRY")}
        started = time.monotonic()
        process = subprocess.Popen([exe], cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        first = connect_with_greeting(port, started + 600)
        to_accepting = time.monotonic() - started
        first.close()
        if seconds > 0:
            time.sleep(max(0.0, 3 - (time.monotonic() - started)))
        rate = option_reads(port, values, seconds) if seconds > 0 else 0.0
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=60)
        return to_accepting, rate
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("--values", type=int, nargs="+", default=[20000, 40000])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3)
    args = parser.parse_args()
    for values in args.values:
        starts, rates = [], []
        for run in range(args.runs):
            # Only the last run measures the reads, so each start-up finds the file as written.
            to_accepting, rate = one_run(os.path.abspath(args.binary), values, args.seconds if run == args.runs - 1 else 0)
            starts.append(to_accepting)
            rates.append(rate)
        print(f"{values} values in one key: start to accepting connections median "
              f"{statistics.median(starts) * 1000:.0f} ms (min {min(starts) * 1000:.0f}, max {max(starts) * 1000:.0f}); "
              f"request 206: {rates[-1]:.1f} requests per second")


if __name__ == "__main__":
    main()
