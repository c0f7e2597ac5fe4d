"""Times cold starts of programs that print 'bench: load end' once their
start page has loaded: from the start of the process to that line. Runs the
programs in turn, and prints each one's median and the ratio first/second.

usage: time_start.py RUNS NAME1 CMD1 NAME2 CMD2   (CMD: a shell-quoted line)
"""
import shlex
import statistics
import subprocess
import sys
import time

MARK = "bench: load end"
LIMIT = 60.0


def one_start(argv):
    t0 = time.monotonic()
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    seen = None
    for line in p.stdout:
        if MARK in line:
            seen = time.monotonic() - t0
            break
    try:
        p.wait(timeout=LIMIT)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
    if seen is None:
        sys.exit("no load end from: " + " ".join(argv))
    return seen * 1000.0


def main():
    runs = int(sys.argv[1])
    names = [sys.argv[2], sys.argv[4]]
    commands = [shlex.split(sys.argv[3]), shlex.split(sys.argv[5])]
    times = {n: [] for n in names}
    # One warm-up each (disk caches), then alternate so that load drift hits both.
    for name, cmd in zip(names, commands):
        one_start(cmd)
    for i in range(runs):
        order = [0, 1] if i % 2 == 0 else [1, 0]
        for k in order:
            times[names[k]].append(one_start(commands[k]))
    medians = {n: statistics.median(t) for n, t in times.items()}
    for n in names:
        print("%s_ms %.1f (min %.1f, max %.1f, %d runs)" % (n, medians[n], min(times[n]), max(times[n]), runs))
    print("ratio start %s/%s: %.3g" % (names[0], names[1], medians[names[0]] / medians[names[1]]))


main()
