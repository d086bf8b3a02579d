#!/usr/bin/env python3
"""Tries to break the server the way hostile clients and real installations do, and prints one
figure per scenario.

  collect-kill  kill -9 while one client collects queue 208 and the console queues items:
                records acknowledged ("True") but neither delivered nor left in the queue file
  flood         1 MiB of 0xBB bytes on one connection: service-log bytes written, server CPU
                time, and how long a 207 sent behind them waits
  burst         one 4 KiB send of listing requests (100) with 10,000 accounts, and the delay of
                another client's 207 sent right after it
  partial       3,000 connections each holding 65,000 bytes of an unfinished message: the
                server's resident memory before, while held, and after they closed
  locks         another process holds the registry file's lock (while a console writes an
                option) or the service log's lock (while a client sends 20 unknown types):
                the delay of another client's 207
  connects      2,000 connects at once over loopback: how many are greeted within 3 s

The server runs from a scratch installation folder (a copy of the binary, a registry file that
registers it on a free port) and is only ever addressed on 127.0.0.1.

Usage: hardening_bench.py path/to/VServerService [scenario ...]
"""

import os
import random
import resource
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

APPID_GUID = "{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}"
GREETING = b"1\xa70\xa7\xbb\n"
END = b"\xbb\n"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def request(rid, rtype, account=b"", arg1=b"", arg2=b"", kind=None, version=b""):
    out = str(rid).encode() + b"\xa7\xa7\xa7" + str(rtype).encode() + b"\xa7\xa7" + account
    out += b"\xa7" + arg1 + b"\xa7" + arg2
    if kind is not None:
        out += b"\xa6" + str(kind).encode() + b"\xa6" + version + b"\xa6"
    return out + END


class Server:
    def __init__(self, binary, accounts=0, extra=""):
        self.folder = tempfile.mkdtemp(prefix="vserver-hardening-")
        self.port = free_port()
        self.exe = os.path.join(self.folder, "VServerService")
        shutil.copy2(binary, self.exe)
        master = os.path.join(self.folder, "master")
        self.users = os.path.join(master, "Users")
        os.makedirs(self.users)
        for i in range(accounts):
            os.mkdir(os.path.join(self.users, f"user{i:05d}"))
        self.registry = os.path.join(self.folder, "VServerService.reg")
        with open(self.registry, "w", newline="") as f:
            f.write(
                "REGEDIT4\r\n\r\n"
                f"[HKEY_CLASSES_ROOT\\AppID\\{APPID_GUID}]\r\n@=\"VServerService\"\r\n\r\n"
                f"[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n\"AppID\"=\"{APPID_GUID}\"\r\n\r\n"
                f"[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n\"MasterPath\"=\"{master}\"\r\n\r\n"
                f"[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n\"PortNumber\"=\"{self.port}\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"
                "\"AllowConsoleRequestsFromAnyConnection\"=\"True\"\r\n" + extra)
        self.log = os.path.join(self.folder, "ServiceLog.log")
        self.process = None

    def start(self):
        env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "VSERVER_REGISTRY")}
        self.process = subprocess.Popen([self.exe], cwd=self.folder, env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while True:
            try:
                return self.connect()
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.005)

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=30)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        reader = Reader(s)
        if reader.message() + END != GREETING:
            raise ConnectionError("no greeting")
        return reader

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_mib(self):
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
        return 0.0

    def log_size(self):
        try:
            return os.path.getsize(self.log)
        except OSError:
            return 0

    def stop(self, sig=signal.SIGTERM):
        if self.process and self.process.poll() is None:
            self.process.send_signal(sig)
            self.process.wait(timeout=60)

    def remove(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


class Reader:
    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def message(self):
        while END not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buffer += chunk
        text, self.buffer = self.buffer.split(END, 1)
        return text

    def ask(self, data):
        self.sock.sendall(data)
        return self.message()


def timed_probe(reader):
    started = time.monotonic()
    reader.ask(request(7, 207))
    return time.monotonic() - started


def scenario_collect_kill(binary, trials=40):
    lost_total = 0
    again_total = 0
    for trial in range(trials):
        server = Server(binary)
        console = server.start()
        client = server.connect()
        acked, delivered = [], []
        try:
            for i in range(40):
                payload = f"t{trial}-m{i}".encode()
                if console.ask(request(i + 1, 810, arg1=b"pupil", arg2=payload)).endswith(b"True"):
                    acked.append(payload)
            deadline = time.monotonic() + random.uniform(0.001, 0.03)
            rid = 1000
            client.sock.setblocking(False)
            while time.monotonic() < deadline:
                client.sock.send(request(rid, 208, account=b"pupil"))
                rid += 1
                if rid % 5 == 0:
                    console.sock.sendall(request(rid, 810, arg1=b"pupil", arg2=f"t{trial}-x{rid}".encode()))
            server.process.send_signal(signal.SIGKILL)
            server.process.wait()
            client.sock.setblocking(True)
            client.sock.settimeout(2)
            try:
                while True:
                    fields = client.message().split(b"\xa7")
                    if len(fields) >= 4 and fields[2] == b"208" and fields[3]:
                        delivered.extend(fields[3].split(b"\xb0"))
            except (OSError, ConnectionError):
                pass
            console.sock.settimeout(2)
            try:
                while True:
                    fields = console.message().split(b"\xa7")
                    if len(fields) >= 4 and fields[2] == b"810" and fields[3] == b"True":
                        acked.append(f"t{trial}-x{fields[1].decode()}".encode())
            except (OSError, ConnectionError):
                pass
            try:
                with open(os.path.join(server.folder, "UserMessages.log"), "rb") as f:
                    kept = [line.split(b"\xa6", 1)[1] for line in f.read().rstrip(b"\0").split(b"\r\n") if b"\xa6" in line]
            except OSError:
                kept = []
            lost = set(acked) - set(delivered) - set(kept)
            lost_total += len(lost)
            again_total += len(delivered) - len(set(delivered)) + len(set(delivered) & set(kept))
        finally:
            server.remove()
    print(f"collect-kill: {trials} kills during collections, {lost_total} acknowledged records lost, "
          f"{again_total} delivered and still queued or delivered twice (they come again)")


def scenario_flood(binary):
    server = Server(binary)
    try:
        client = server.start()
        client.sock.settimeout(600)
        cpu0, log0 = server.cpu_seconds(), server.log_size()
        started = time.monotonic()
        client.sock.sendall(b"\xbb" * (1 << 20))
        client.ask(request(1, 207))
        elapsed = time.monotonic() - started
        time.sleep(1.2)
        print(f"flood: 1 MiB of 0xBB: service log +{(server.log_size() - log0) / 1e6:.2f} MB, "
              f"server CPU {server.cpu_seconds() - cpu0:.2f} s, 207 behind it answered after {elapsed:.2f} s")
    finally:
        server.remove()


def scenario_burst(binary):
    server = Server(binary, accounts=10000)
    try:
        burster = server.start()
        probe = server.connect()
        one = request(1, 100)
        count = 4096 // len(one)
        delays, totals = [], []
        for _ in range(3):
            started = time.monotonic()
            burster.sock.sendall(one * count)
            # The burst's replies are read as they come, as a real client would.
            reader = threading.Thread(target=lambda: [burster.message() for _ in range(count)])
            reader.start()
            time.sleep(0.005)
            delays.append(timed_probe(probe))
            reader.join()
            totals.append(time.monotonic() - started)
        print(f"burst: {count} listings in one send with 10,000 accounts (each burst took "
              f"{' / '.join(f'{t:.2f}' for t in totals)} s): another client's 207 waited "
              f"{' / '.join(f'{d * 1000:.0f}' for d in delays)} ms")
    finally:
        server.remove()


def scenario_partial(binary, connections=3000, held=65000):
    resource.setrlimit(resource.RLIMIT_NOFILE, (connections + 200, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    server = Server(binary)
    try:
        server.start()
        before = server.rss_mib()
        socks = []
        chunk = b"x" * held
        for _ in range(connections):
            s = socket.create_connection(("127.0.0.1", server.port))
            try:
                s.sendall(chunk)
            except OSError:
                pass  # closed by the server's cap
            socks.append(s)
        time.sleep(2)
        holding = server.rss_mib()
        for s in socks:
            s.close()
        time.sleep(2)
        after = server.rss_mib()
        survivors = server.connect().ask(request(1, 207))
        print(f"partial: {connections} connections x {held} bytes: server RSS {before:.0f} MiB before, "
              f"{holding:.0f} MiB while held, {after:.0f} MiB after they closed "
              f"(reply to a new client: {survivors[-3:]!r})")
    finally:
        server.remove()


def hold_lock(path, seconds):
    code = ("import fcntl,sys,time\nf=open(sys.argv[1],'a')\nfcntl.flock(f,fcntl.LOCK_EX)\n"
            "print('locked',flush=True)\ntime.sleep(float(sys.argv[2]))\n")
    holder = subprocess.Popen([sys.executable, "-c", code, path, str(seconds)], stdout=subprocess.PIPE)
    holder.stdout.readline()
    return holder


def scenario_locks(binary, seconds=3):
    server = Server(binary)
    try:
        console = server.start()
        probe = server.connect()
        holder = hold_lock(server.registry + ".lock", seconds)
        console.sock.sendall(request(1, 817, arg1=b"Colour", arg2=b"Blue"))
        time.sleep(0.05)
        registry_delay = timed_probe(probe)
        holder.wait()
        console.message()

        holder = hold_lock(server.log, seconds)
        console.sock.sendall(b"".join(request(i + 2, 999) for i in range(20)))
        time.sleep(0.05)
        log_delay = timed_probe(probe)
        holder.wait()
        print(f"locks: registry lock held {seconds} s: another client's 207 waited {registry_delay:.2f} s; "
              f"service-log lock held {seconds} s with 20 unknown types: 207 waited {log_delay:.2f} s")
    finally:
        server.remove()


def scenario_connects(binary, count=2000, window=3.0):
    resource.setrlimit(resource.RLIMIT_NOFILE, (count + 200, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    server = Server(binary)
    try:
        server.start()
        socks = []
        for _ in range(count):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", server.port))
            socks.append(s)
        poller = select.poll()
        by_fd = {s.fileno(): s for s in socks}
        got = {fd: b"" for fd in by_fd}
        for fd in by_fd:
            poller.register(fd, select.POLLIN)
        greeted = 0
        deadline = time.monotonic() + window
        while greeted < count and time.monotonic() < deadline:
            for fd, _ in poller.poll(100):
                try:
                    data = by_fd[fd].recv(64)
                except OSError:
                    data = b""
                poller.unregister(fd)
                if data.startswith(GREETING[:2]):
                    greeted += 1
        for s in socks:
            s.close()
        print(f"connects: {count} connects at once: {greeted} greeted within {window:.0f} s "
              f"({count - greeted} not)")
    finally:
        server.remove()


SCENARIOS = {
    "collect-kill": scenario_collect_kill,
    "flood": scenario_flood,
    "burst": scenario_burst,
    "partial": scenario_partial,
    "locks": scenario_locks,
    "connects": scenario_connects,
}


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    binary = os.path.abspath(sys.argv[1])
    for name in sys.argv[2:] or SCENARIOS:
        SCENARIOS[name](binary)
    return 0


if __name__ == "__main__":
    sys.exit(main())
