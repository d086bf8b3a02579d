#!/usr/bin/env python3
"""Writes a usage statistics file as the server writes it, for the report's benchmark and for
looking at the report by eye: school days (Monday to Friday, 08:00 to 16:00) on which accounts
log on at workstations, turn pages, change user and log off; now and then the server stops and
a session loses its end.

    tools/bench/usage_file.py OUT [--lines N] [--accounts N] [--workstations N] [--start YYYY-MM-DD] [--seed N]
"""
import argparse
import datetime
import random

EVENTS = ["PageTurn", "BookOpened", "BookClosed", "QuizDone", "Printed"]


def stamp(t):
    return t.strftime("%m/%d/%y\t%H:%M:%S")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--lines", type=int, default=1_000_000)
    parser.add_argument("--accounts", type=int, default=2000)
    parser.add_argument("--workstations", type=int, default=300)
    parser.add_argument("--start", default="2007-09-03")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    # Names as clients send them: 8-bit text of the code page, some with accented letters.
    accounts = [("student%04d" % i) if i % 7 else ("\xe9l\xe8ve%04d" % i) for i in range(args.accounts)]
    workstations = ["Room %d PC %02d" % (1 + i // 20, i % 20) for i in range(args.workstations)]
    day = datetime.datetime.fromisoformat(args.start)
    written = 0
    with open(args.out, "wb") as out:
        while written < args.lines:
            if day.weekday() < 5:
                written += school_day(out, rng, day, accounts, workstations, args.lines - written)
            day += datetime.timedelta(days=1)
        out.write(b"\0")


def school_day(out, rng, day, accounts, workstations, budget):
    """One day's lines, in time order; returns how many were written."""
    lines = []
    for label in workstations:
        t = day + datetime.timedelta(hours=8, minutes=rng.randrange(0, 30))
        account = rng.choice(accounts)
        end_of_day = day + datetime.timedelta(hours=16)
        while t < end_of_day:
            lines.append((t, account, label, "101", ""))
            length = datetime.timedelta(minutes=rng.randrange(5, 90), seconds=rng.randrange(60))
            for _ in range(rng.randrange(0, 8)):
                lines.append((t + length * rng.random(), account, label, rng.choice(EVENTS), "book %d" % rng.randrange(400)))
            t += length
            if rng.random() < 0.002:
                break  # the server stopped: this logon never ends
            lines.append((t, account, label, "103", ""))
            if rng.random() < 0.2:
                account = rng.choice(accounts)  # a change of user: 103 and 101 at the same moment
            else:
                t += datetime.timedelta(minutes=rng.randrange(1, 20))
                account = rng.choice(accounts)
    lines.sort(key=lambda line: line[0])
    lines = lines[:budget]
    out.write("".join("%s\t%s\t%s\t%s\t%s\r\n" % (stamp(t), a, w, e, d) for t, a, w, e, d in lines).encode("cp1252"))
    return len(lines)


if __name__ == "__main__":
    main()
