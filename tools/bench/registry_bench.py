#!/usr/bin/env python3
"""Times the server against a large registry file: many values in the Options key.

For each size, from a scratch installation folder (a copy of the binary and a registry file
that registers it and names a free port):
1. start-up: from process start to the first greeting read (the median of --runs runs);
2. request 206 (option read) on one connection, one request after the other, for --seconds,
   once the file is a few seconds old (a file changed just before may be read again each time).

With --writes, instead: a stream of requests 817 (option write, each waiting for its reply) on
one connection for --seconds, while a second connection asks for the version (207) and a third
reads an option (206) in a loop, each from a process of its own. Reported per run: the 817s
written and their median reply, and the 207 and 206 latencies (median, p99 and the longest,
which is the longest the server's loop was held from answering anyone else).

Usage: registry_bench.py path/to/VServerService [--values 20000 40000] [--runs 3] [--seconds 3]
       registry_bench.py path/to/VServerService [more binaries] --writes [--values 40000] [--runs 5] [--rate 0]
"""

import argparse
import contextlib
import multiprocessing
import os
import shutil
import signal
import socket
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
        "\"AllowConsoleRequestsFromAnyConnection\"=\"True\"\r\n",
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


@contextlib.contextmanager
def running_server(binary, values):
    """A scratch installation of binary with values options, started and greeting; gives its
    port, the moment it was started and the seconds to its first greeting. Stopped and removed
    on the way out."""
    folder = tempfile.mkdtemp(prefix="vserver-registry-bench-")
    process = None
    try:
        port = free_port()
        exe = prepare(folder, binary, port, values)
        env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "VSERVER_REGISTRY")}
        started = time.monotonic()
        process = subprocess.Popen([exe], cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        connect_with_greeting(port, started + 600).close()
        yield port, started, time.monotonic() - started
    finally:
        if process is not None and process.poll() is None:
            process.send_signal(signal.SIGTERM)
            process.wait(timeout=60)
        shutil.rmtree(folder, ignore_errors=True)


def one_run(binary, values, seconds):
    with running_server(binary, values) as (port, started, to_accepting):
        if seconds > 0:
            time.sleep(max(0.0, 3 - (time.monotonic() - started)))
        rate = option_reads(port, values, seconds) if seconds > 0 else 0.0
        return to_accepting, rate


def asker(port, request, stop, results):
    """Sends request over and over on a connection of its own until stop is set; puts the
    latencies (seconds) into results."""
    s = connect_with_greeting(port, time.monotonic() + 20)
    s.settimeout(None)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    pending = b""
    latencies = []
    while not stop.is_set():
        started = time.monotonic()
        s.sendall(request)
        _, pending = read_message(s, pending)
        latencies.append(time.monotonic() - started)
    s.close()
    results.put(latencies)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def write_stream(port, values, seconds, rate):
    """Writes existing options one after the other, each waiting for its reply, for seconds, at
    most rate writes per second (0: as fast as they are answered); returns the reply times."""
    s = connect_with_greeting(port, time.monotonic() + 20)
    s.settimeout(None)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    pending = b""
    times = []
    deadline = time.monotonic() + seconds
    n = 0
    begun = time.monotonic()
    while time.monotonic() < deadline:
        if rate > 0:
            time.sleep(max(0.0, begun + n / rate - time.monotonic()))
        name = f"Option{(n * 7919) % values}".encode()
        request = str(n + 1).encode() + b"\xa7\xa7\xa7817\xa7\xa7\xa7" + name + b"\xa7written " + str(n).encode() + END
        started = time.monotonic()
        s.sendall(request)
        reply, pending = read_message(s, pending)
        if not reply.endswith(b"817\xa7True"):
            raise RuntimeError(f"unexpected reply {reply!r}")
        times.append(time.monotonic() - started)
        n += 1
    s.close()
    return times


def one_write_run(binary, values, seconds, rate):
    with running_server(binary, values) as (port, started, _):
        # The file as written is old enough to be taken as unchanged.
        time.sleep(max(0.0, 3 - (time.monotonic() - started)))
        stop = multiprocessing.Event()
        results = {207: multiprocessing.Queue(), 206: multiprocessing.Queue()}
        read_name = f"Option{values // 2 + 1}".encode()
        askers = [
            multiprocessing.Process(target=asker, args=(port, b"1\xa7\xa7\xa7207" + END, stop, results[207])),
            multiprocessing.Process(target=asker, args=(
                port, b"1\xa7\xa7\xa7206\xa7\xa7\xa7" + read_name + b"\xa7default" + END, stop, results[206])),
        ]
        for a in askers:
            a.start()
        time.sleep(0.5)
        writes = write_stream(port, values, seconds, rate)
        stop.set()
        latencies = {kind: queue.get(timeout=600) for kind, queue in results.items()}
        for a in askers:
            a.join()
        return writes, latencies


def describe(name, latencies):
    ms = [x * 1000 for x in latencies]
    return (f"{name} median {statistics.median(ms):.2f} ms, p99 {percentile(ms, 0.99):.2f} ms, "
            f"longest {max(ms):.1f} ms ({len(ms)} requests)")


def spread(values):
    return f"median {statistics.median(values):.1f} (min {min(values):.1f}, max {max(values):.1f})"


def main_writes(args):
    binaries = [os.path.abspath(b) for b in args.binary]
    for values in args.values:
        figures = {binary: {"writes": [], "longest": [], "p99": [], "read p99": []} for binary in binaries}
        for run in range(args.runs):
            # Runs of the binaries take turns, so a change in the machine's load hits each alike.
            for binary in binaries:
                writes, latencies = one_write_run(binary, values, args.seconds, args.rate)
                print(f"{binary} {values} values, run {run + 1}: {len(writes)} writes (817) in {args.seconds:.0f} s, "
                      f"median reply {statistics.median(writes) * 1000:.1f} ms; "
                      f"{describe('207', latencies[207])}; {describe('206', latencies[206])}", flush=True)
                f = figures[binary]
                f["writes"].append(len(writes) / args.seconds)
                f["longest"].append(max(latencies[207]) * 1000)
                f["p99"].append(percentile(latencies[207], 0.99) * 1000)
                f["read p99"].append(percentile(latencies[206], 0.99) * 1000)
        for binary, f in figures.items():
            print(f"{binary} {values} values over {args.runs} runs: 817s per second {spread(f['writes'])}; "
                  f"another client's 207: longest wait (the loop's longest hold) {spread(f['longest'])} ms, "
                  f"p99 {spread(f['p99'])} ms; 206 p99 {spread(f['read p99'])} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary", nargs="+")
    parser.add_argument("--writes", action="store_true", help="time writes beside readers instead")
    parser.add_argument("--rate", type=float, default=0, help="with --writes: at most this many writes per second")
    parser.add_argument("--values", type=int, nargs="+", default=[20000, 40000])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3)
    args = parser.parse_args()
    if args.writes:
        main_writes(args)
        return
    for values in args.values:
        starts, rates = [], []
        for run in range(args.runs):
            # Only the last run measures the reads, so each start-up finds the file as written.
            to_accepting, rate = one_run(os.path.abspath(args.binary[0]), values, args.seconds if run == args.runs - 1 else 0)
            starts.append(to_accepting)
            rates.append(rate)
        print(f"{values} values in one key: start to accepting connections median "
              f"{statistics.median(starts) * 1000:.0f} ms (min {min(starts) * 1000:.0f}, max {max(starts) * 1000:.0f}); "
              f"request 206: {rates[-1]:.1f} requests per second")


if __name__ == "__main__":
    main()
