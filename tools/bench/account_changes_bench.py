#!/usr/bin/env python3
"""Account creation (807) and deletion (808) per second through the real server.

For each number of connections given (default 1 and 10), every connection first creates
accounts of its own for the given number of seconds, each 807 waiting for its reply, and then
deletes every account it created, each 808 waiting for its reply. Meanwhile one more connection
asks for the server's version (207) in a loop. One line per phase: requests per second over all
connections, the p50/p99 latency of one request, and the p99 and longest wait of the version
requests: how long the changes keep the server from answering anyone else.

The server runs from a scratch installation folder on the machine's disk (the system's
temporary folder, or the folder named by TMPDIR), with a master preference file of the given
size, and is only ever addressed on 127.0.0.1.

Usage: account_changes_bench.py path/to/VServerService [seconds=5] [connections=1,10] [master-bytes=4096]
"""

import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from hardening_bench import Server, request  # noqa: E402


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else 0.0


def run_phase(readers, probe, work):
    """Runs work(index, reader, latencies) on one thread per connection while probe asks for the
    version in a loop; returns requests/s, the latencies and the probe's latencies."""
    latencies = [[] for _ in readers]
    threads = [threading.Thread(target=work, args=(i, r, latencies[i])) for i, r in enumerate(readers)]
    probed = []
    running = True

    def ask_version():
        while running:
            began = time.monotonic()
            probe.ask(request(7, 207))
            probed.append(time.monotonic() - began)

    prober = threading.Thread(target=ask_version)
    prober.start()
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - started
    running = False
    prober.join()
    every = [x for per in latencies for x in per]
    return len(every) / elapsed, every, probed


def measure(binary, seconds, connections, master_bytes):
    server = Server(binary)
    with open(os.path.join(server.users, "VantorelSettings.vts"), "wb") as f:
        f.write(b"[General]\r\nFontSize=12\r\nNotes=" + b"n" * master_bytes + b"\r\n")
    try:
        probe = server.start()
        readers = [server.connect() for _ in range(connections)]
        created = [[] for _ in readers]

        def create(index, reader, latencies):
            deadline = time.monotonic() + seconds
            n = 0
            while time.monotonic() < deadline:
                name = f"c{index}n{n}".encode()
                began = time.monotonic()
                reply = reader.ask(request(n + 1, 807, arg1=name))
                latencies.append(time.monotonic() - began)
                if not reply.endswith(b"True"):
                    raise RuntimeError(f"807 {name!r}: {reply!r}")
                created[index].append(name)
                n += 1

        def delete(index, reader, latencies):
            for n, name in enumerate(created[index]):
                began = time.monotonic()
                reply = reader.ask(request(n + 1, 808, arg1=name))
                latencies.append(time.monotonic() - began)
                if not reply.endswith(b"True"):
                    raise RuntimeError(f"808 {name!r}: {reply!r}")

        for label, work in (("807 create", create), ("808 delete", delete)):
            rate, latencies, probed = run_phase(readers, probe, work)
            print(f"{label}: {connections} connection(s): {rate:.0f} requests/s, "
                  f"p50 {percentile(latencies, 0.5) * 1000:.2f} ms, p99 {percentile(latencies, 0.99) * 1000:.2f} ms "
                  f"({len(latencies)} requests); another client's 207: p99 {percentile(probed, 0.99) * 1000:.2f} ms, "
                  f"longest {max(probed) * 1000:.2f} ms", flush=True)
    finally:
        server.remove()


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    binary = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 5
    counts = [int(c) for c in sys.argv[3].split(",")] if len(sys.argv) > 3 else [1, 10]
    master_bytes = int(sys.argv[4]) if len(sys.argv) > 4 else 4096
    for connections in counts:
        measure(binary, seconds, connections, master_bytes)
    return 0


if __name__ == "__main__":
    sys.exit(main())
