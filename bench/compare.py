#!/usr/bin/env python3
"""Times this tail against the system's own tail on the same inputs.

Builds nothing: give it the native binary (default build/native/tail). The
inputs are generated deterministically into a work directory and kept there
for later runs. For each workload both programs run alternately, several
times, with standard output to /dev/null; the script prints the median wall
time of each, their ratio (ours / system), and for the workloads marked so
the peak resident memory of each. Where the work has a physical floor,
that runs too and the ratio of ours to it is printed: `cat` of the file for
a plain copy, `/bin/true` for start-up and one small read. Last comes following: 100 MiB appended to
a followed file, timed as the CPU seconds each program spends until all of
it is written (ours polls every 2 seconds, so its wall time means little);
the CPU seconds each spends following 1000 idle files for a minute at its
default interval, with -f and with -F; and the latency from an append to its
line on standard output with -F -s 0.1 (median and worst of 100 appends).

    bench/compare.py [--tail build/native/tail] [--system-tail /usr/bin/tail]
                     [--dir /tmp/tail-bench] [--runs 5] [--idle-seconds 60]
"""
import argparse
import os
import random
import select
import shutil
import statistics
import subprocess
import time

MIB = 1 << 20


def generate(path, size, line_lengths, seed):
    """A file of `size` bytes of text lines whose lengths come from line_lengths."""
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz0123456789 "
    chunk = bytearray()
    while len(chunk) < 4 * MIB:
        length = rng.randint(*line_lengths)
        chunk += "".join(rng.choice(letters) for _ in range(min(length, 64))).encode()
        chunk += b"x" * (length - min(length, 64)) + b"\n"
    with open(path, "wb") as out:
        written = 0
        while written < size:
            piece = chunk[: size - written]
            out.write(piece)
            written += len(piece)


def run_once(command, input_path, piped):
    """Wall time and peak resident memory (KiB) of one run."""
    start = time.perf_counter()
    with open(os.devnull, "wb") as null:
        if piped:
            feeder = subprocess.Popen(["cat", input_path], stdout=subprocess.PIPE)
            process = subprocess.Popen(command, stdin=feeder.stdout, stdout=null)
            feeder.stdout.close()
        else:
            process = subprocess.Popen(command + [input_path], stdin=subprocess.DEVNULL, stdout=null)
        _, status, usage = os.wait4(process.pid, 0)
        if piped:
            feeder.wait()
    elapsed = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"{command} failed with status {process.returncode}")
    return elapsed, usage.ru_maxrss


def cpu_seconds(pid):
    """User and system CPU time of a running process."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def follow_once(program, source, work):
    """CPU seconds of `program -f` until all of `source`, appended to an empty
    followed file a MiB at a time, has been written."""
    followed = os.path.join(work, "followed.txt")
    written = os.path.join(work, "followed.out")
    open(followed, "wb").close()
    with open(written, "wb") as out:
        process = subprocess.Popen([program, "-f", followed], stdin=subprocess.DEVNULL, stdout=out)
    try:
        time.sleep(0.5)  # following has started: the file was empty
        total = 0
        with open(source, "rb") as data, open(followed, "ab") as log:
            while chunk := data.read(MIB):
                log.write(chunk)
                log.flush()
                total += len(chunk)
        deadline = time.monotonic() + 120
        while os.path.getsize(written) < total:
            if time.monotonic() > deadline or process.poll() is not None:
                raise SystemExit(f"{program} -f wrote {os.path.getsize(written)} of {total} bytes")
            time.sleep(0.05)
        return cpu_seconds(process.pid)
    finally:
        process.kill()
        process.wait()


def idle_once(program, option, names, seconds):
    """CPU seconds of `program option names...` following idle files for
    `seconds`."""
    process = subprocess.Popen([program, option, "-n", "1"] + names, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(seconds)
        if process.poll() is not None:
            raise SystemExit(f"{program} {option} ended with status {process.returncode}")
        return cpu_seconds(process.pid)
    finally:
        process.kill()
        process.wait()


def latencies(program, work, appends):
    """Seconds from each of `appends` appended lines to its showing on the
    standard output of `program -F -s 0.1`, at random phases of the polls."""
    followed = os.path.join(work, "latency.txt")
    open(followed, "wb").close()
    process = subprocess.Popen([program, "-F", "-s", "0.1", followed], stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    seen = []
    try:
        time.sleep(0.5)
        pending = b""
        with open(followed, "ab") as log:
            for i in range(appends):
                time.sleep(random.Random(i).uniform(0, 0.1))
                line = b"append %d\n" % i
                start = time.monotonic()
                log.write(line)
                log.flush()
                while line not in pending:
                    if not select.select([process.stdout], [], [], 5)[0]:
                        raise SystemExit(f"{program}: no line within 5 s")
                    pending += os.read(process.stdout.fileno(), 65536)
                seen.append(time.monotonic() - start)
                pending = pending.split(line, 1)[1]
        return seen
    finally:
        process.kill()
        process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tail", default="build/native/tail")
    parser.add_argument("--system-tail", default=shutil.which("tail"))
    parser.add_argument("--dir", default="/tmp/tail-bench")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle-seconds", type=float, default=60)
    options = parser.parse_args()
    os.makedirs(options.dir, exist_ok=True)

    big = os.path.join(options.dir, "1gib.txt")
    medium = os.path.join(options.dir, "100mib.txt")
    long_lines = os.path.join(options.dir, "100mib-long-lines.txt")
    print("generating inputs in", options.dir, flush=True)
    generate(big, 1024 * MIB, (1, 120), 1)
    generate(medium, 100 * MIB, (1, 120), 2)
    generate(long_lines, 100 * MIB, (3000, 10000), 3)

    workloads = [
        # name, arguments, input, piped, show memory, floor (a command given the input)
        ("a -n 10, 1 GiB file", ["-n", "10"], big, False, False, [shutil.which("true")]),
        ("b -n 100000, 1 GiB file", ["-n", "100000"], big, False, False, None),
        ("c -n +2, 100 MiB file", ["-n", "+2"], medium, False, False, [shutil.which("cat")]),
        ("d -n 10, 100 MiB pipe", ["-n", "10"], medium, True, False, None),
        ("e -c 1048576, 100 MiB pipe", ["-c", "1048576"], medium, True, False, None),
        ("g -n 10, 100 MiB pipe, 3000-10000-byte lines", ["-n", "10"], long_lines, True, False, None),
        ("h -n 1000000, 100 MiB pipe", ["-n", "1000000"], medium, True, True, None),
    ]
    print(f"{'workload':48} {'ours s':>9} {'system s':>9} {'ratio':>7}  {'floor s':>8} {'/floor':>7}"
          "  peak memory (ours / system)")
    for name, args, path, piped, memory, floor in workloads:
        runners = [("ours", [options.tail] + args), ("system", [options.system_tail] + args)]
        runners += [("floor", floor)] if floor else []
        times = {who: [] for who, _ in runners}
        peaks = {who: 0 for who, _ in runners}
        for _ in range(options.runs):
            for who, command in runners:
                elapsed, peak = run_once(command, path, piped)
                times[who].append(elapsed)
                peaks[who] = max(peaks[who], peak)
        ours = statistics.median(times["ours"])
        system = statistics.median(times["system"])
        floor_columns = f"{statistics.median(times['floor']):8.3f} {ours / statistics.median(times['floor']):7.2f}" \
            if floor else f"{'':8} {'':7}"
        extra = f"  {peaks['ours'] / 1024:.0f} MiB / {peaks['system'] / 1024:.0f} MiB" if memory else ""
        print(f"{name:48} {ours:9.3f} {system:9.3f} {ours / system:7.2f}  {floor_columns}{extra}", flush=True)

    cpu = {"ours": [], "system": []}
    for _ in range(options.runs):
        for who, program in (("ours", options.tail), ("system", options.system_tail)):
            cpu[who].append(follow_once(program, medium, options.dir))
    ours = statistics.median(cpu["ours"])
    system = statistics.median(cpu["system"])
    print(f"{'f -f, 100 MiB appended (CPU seconds)':48} {ours:9.3f} {system:9.3f} {ours / max(system, 0.001):7.2f}")

    idle = os.path.join(options.dir, "idle")
    os.makedirs(idle, exist_ok=True)
    names = [os.path.join(idle, f"{i:04}.log") for i in range(1000)]
    for name in names:
        with open(name, "wb") as log:
            log.write(b"an idle log\n")
    for option in ("-f", "-F"):
        ours = idle_once(options.tail, option, names, options.idle_seconds)
        system = idle_once(options.system_tail, option, names, options.idle_seconds)
        label = f"i {option}, 1000 idle files, {options.idle_seconds:.0f} s (CPU seconds)"
        print(f"{label:48} {ours:9.3f} {system:9.3f} {ours / max(system, 0.001):7.2f}", flush=True)

    for who, program in (("ours", options.tail), ("system", options.system_tail)):
        seen = latencies(program, options.dir, 100)
        print(f"j -F -s 0.1, append to output ({who}): median {statistics.median(seen):.3f} s, "
              f"worst {max(seen):.3f} s", flush=True)


if __name__ == "__main__":
    main()
