#!/usr/bin/env python3
"""Which request types the server's system calls go to, from a trace of a running server:

    strace -f -tt -xx -s 512 -o TRACE -p SERVER_PID      (while a load runs; Ctrl-C after)
    tools/bench/calls_by_request.py TRACE [WORKSTATIONS]

The serving thread works in turns: epoll_wait returns, the turn reads what arrived, serves it and
writes the replies. A turn that received exactly one request is that request's: its calls are
counted for the request's type (field 4 of the request). Turns that received none (accepts,
the end of a sync, removals of collected items, timers) and turns that received several are
counted apart, as are the calls of the other threads (the syncs); the commonest turns without
a request are listed with their calls in order (a request served from input that arrived in an
earlier turn shows there too). With WORKSTATIONS, every figure is also given per workstation.
"""
import collections
import re
import sys

LINE = re.compile(r'^(\d+)\s+\d+:\d+:\d+\.\d+\s+(?:<\.\.\. (\w+) resumed>|(\w+)\()')
RECEIVE = re.compile(r'^\d+\s+\S+\s+(?:recvfrom|read)\(\d+, "((?:\\x[0-9a-f]{2})*)"')


def request_types(hex_text):
    data = bytes.fromhex(hex_text.replace("\\x", ""))
    types = []
    for message in data.split(b"\xbb")[:-1]:
        fields = message.lstrip(b"\n").split(b"\xa6")[0].split(b"\xa7")
        types.append(fields[3].decode("latin-1") if len(fields) > 3 else "?")
    return types


def main():
    path = sys.argv[1]
    workstations = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    calls = {}          # bucket -> Counter of call names
    requests = collections.Counter()   # every request seen
    alone = collections.Counter()      # requests that had a turn to themselves
    # The serving thread is the one that waits in epoll_wait.
    main_tid = next(m.group(1) for m in map(LINE.match, open(path, errors="replace")) if m and m.group(3) == "epoll_wait")
    turn, turn_types = collections.Counter(), []
    sequence, quiet_turns = [], collections.Counter()   # the calls of a turn in order; turns without a request

    def close_turn():
        if not turn:
            return
        if len(turn_types) == 1:
            bucket = "request " + turn_types[0]
            alone[turn_types[0]] += 1
        elif not turn_types:
            bucket = "turns without a request"
            quiet_turns[" ".join(sequence)] += 1
        else:
            bucket = "turns with several requests"
        requests.update(turn_types)
        calls.setdefault(bucket, collections.Counter()).update(turn)

    for line in open(path, errors="replace"):
        match = LINE.match(line)
        if not match or match.group(2):
            continue   # a resumed call was counted where it began
        tid, name = match.group(1), match.group(3)
        if tid != main_tid:
            calls.setdefault("other threads (syncs)", collections.Counter())[name] += 1
            continue
        if name == "epoll_wait":
            close_turn()
            turn, turn_types, sequence = collections.Counter({"epoll_wait": 1}), [], []
            continue
        turn[name] += 1
        sequence.append(name)
        received = RECEIVE.match(line)
        if received and received.group(1):
            turn_types.extend(request_types(received.group(1)))
    close_turn()

    total = sum(sum(c.values()) for c in calls.values())
    print(f"{total} calls; requests seen: " + ", ".join(f"{t} x{n}" for t, n in sorted(requests.items())))
    for bucket, counter in sorted(calls.items(), key=lambda kv: -sum(kv[1].values())):
        n = sum(counter.values())
        kind = bucket.split(" ", 1)[1] if bucket.startswith("request ") else None
        per = f", {n / alone[kind]:.1f} per request ({alone[kind]} alone in their turn)" if kind and alone[kind] else ""
        per_ws = f", {n / workstations:.1f} per workstation" if workstations else ""
        top = ", ".join(f"{name} {count / (alone[kind] if kind else 1):.2f}" if kind else f"{name} {count}"
                        for name, count in counter.most_common(10))
        print(f"{bucket}: {n} calls{per}{per_ws}\n    {top}")
    print("commonest turns without a request (times: calls after epoll_wait):")
    for shape, n in quiet_turns.most_common(8):
        print(f"    {n}: {shape[:200]}")


if __name__ == "__main__":
    main()
