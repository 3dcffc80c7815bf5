#!/usr/bin/env python3
"""Times this tail against the system's own tail on the same inputs.

Builds nothing: give it the native program (default build/native/tail) and,
to run the follow rows under Wine as well, the Windows program
(--windows-tail build/windows/tail.exe). The inputs are generated
deterministically into a work directory and kept there for later runs. The
rows come in six parts; --only runs some of them (--only latency,idle).

copy     a-h: both programs run alternately, several times (--runs), standard
         output to /dev/null; the median wall time of each, their ratio
         (ours / system), for the workloads marked so the peak resident
         memory of each, and where the work has a physical floor the ratio of
         ours to it: `cat` of the file for a plain copy, `/bin/true` for
         start-up and one small read.
writer   f, k: a writer process (dd, the same for both programs) appends
         100 MiB of numbered lines of 33 bytes to a file followed with -f at
         the default interval, in 1 MiB pieces (f), or in 4 KiB pieces as fast
         as it can (k). Each program's CPU seconds (user + system) until all of
         it is on its standard output, median of --runs, and a check of every
         run that the output is the file's content: nothing lost, nothing out
         of order.
idle     i: the CPU seconds each spends following 1000 idle files for a minute
         (--idle-seconds) at its default interval, with -f and with -F, the
         files in one folder and spread over 200 folders (5 in each), from
         when it shows the last file's line (its start-up left out). The
         programs of a row follow at the same time.
latency  j: the time from an append to its line on the program's standard
         output at the default interval, with -f and with -F: the bench
         appends --appends timestamped lines to a file (a write and a flush
         each), each after a random pause of 0.05-2.5 s, so at a random phase
         of a program that polls, while ours and the system's tail follow the
         file side by side, read through pipes with select. Median and worst
         in ms; a line not seen within --latency-timeout seconds is missed,
         counted and shown, and counts as later than any seen.
steady   s, s2: the same delays while the bench appends a timestamped line
         every 20 ms (a write and a flush each), --steady-lines of them (250:
         5 s), to a file followed with -f (s) and with -F (s2), never waiting
         for a line before appending the next: a program that reads a steady
         writer late shows it here.
scale    t: 10000 files of one line in one folder (--scale-files), all named
         on the command line. Start-up: the wall time from starting
         `-f -n 1` of them until the last file's header and line are on
         standard output (a pipe), median of --runs alternating ours and the
         system's, and the peak resident memory (VmHWM) of each then; and
         the CPU seconds a minute each spends following them idle for
         --idle-seconds, with -f and with -F, as for i. The bench raises its
         limit of open files (so its children's) to the hard limit.

With --windows-tail the writer, idle, latency and steady rows are measured
again with the Windows program under Wine in place of the native one, beside
the system's tail, and the scale part adds 2000 files (--wine-scale-files)
followed by the Windows program under Wine beside the system's tail, with
-f and with -F: the delays of j, each append to one of the files chosen at
random, and the idle CPU of i. Files are named relative to their folder, the
programs' working directory, which keeps 2000 names within a Windows command
line's 32767 characters. Wine runs with a prefix of the bench's own
(--wineprefix), WINEDEBUG=-all, its server started with `wineserver -p` and
the prefix warmed by `wine64 wineboot` before each measurement; a server the
bench started is ended when it ends. The Windows program's CPU seconds include those its Wine
server spends meanwhile (shown apart), since the server does work that the
kernel does natively; its standard output is in text mode (CR LF line ends),
which the writer's check expects. Wine's times are Wine's, not Windows'.

Every process the bench starts is ended when its measurement ends, however
it ends, and every wait is bounded.

Contents, in the order of the file: Inputs (the generated files), Processes
(starting, ending and timing programs, reading their output, Wine), Printing,
then one section a part: copy, writer, idle, latency, steady, scale; Main (the
options).

    bench/compare.py [--tail build/native/tail] [--system-tail /usr/bin/tail]
                     [--windows-tail build/windows/tail.exe] [--wine wine64]
                     [--wineprefix DIR/wineprefix] [--dir /tmp/tail-bench]
                     [--only copy,writer,idle,latency,steady,scale] [--runs 5]
                     [--idle-seconds 60] [--appends 20] [--latency-timeout 5]
                     [--steady-lines 250] [--scale-files 10000]
                     [--wine-scale-files 2000]
"""
import argparse
import contextlib
import dataclasses
import math
import os
import random
import resource
import select
import shutil
import signal
import statistics
import subprocess
import sys
import time

MIB = 1 << 20
PARTS = ("copy", "writer", "idle", "latency", "steady", "scale")
LABEL_WIDTH = 60


# --- Inputs ------------------------------------------------------------------

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


def numbered_line(number):
    """The writer's line `number`: 33 bytes, so that pieces split lines."""
    return b"%010d appended by the writer\n" % number


def generate_numbered(path, size):
    """A file of whole numbered lines, at most `size` bytes: a piece lost,
    repeated or out of order shows in the numbers."""
    lines = size // len(numbered_line(0))
    if os.path.exists(path) and os.path.getsize(path) == lines * len(numbered_line(0)):
        return
    with open(path, "wb") as out:
        for start in range(0, lines, 100000):
            out.write(b"".join(numbered_line(n) for n in range(start, min(start + 100000, lines))))


IDLE_LINE = b"an idle log\n"


def one_line_files(root, count, folders=1):
    """`count` files of one line under root, f1.log on, numbered to one width
    (f00001.log to f10000.log), spread evenly over `folders` folders when more
    than one; their names relative to root. A file is written again only if
    it is missing or an append has grown it."""
    width = len(str(count))
    names = []
    for i in range(count):
        folder = f"d{i * folders // count:03}" if folders > 1 else ""
        names.append(os.path.join(folder, f"f{i + 1:0{width}}.log"))
        path = os.path.join(root, names[-1])
        if not os.path.isfile(path) or os.path.getsize(path) != len(IDLE_LINE):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as log:
                log.write(IDLE_LINE)
    return names


def shown_last(names):
    """What a program following one_line_files `names` with -n 1 has shown
    last once it follows: the last file's line, under its header when there
    are several (line ends as LF, as Output reads them)."""
    return (b"==> %s <==\n" % os.fsencode(names[-1]) if len(names) > 1 else b"") + IDLE_LINE


# --- Processes ---------------------------------------------------------------

def cpu_seconds(pid):
    """User and system CPU time of a running (or not yet reaped) process."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_memory(pid):
    """The peak resident memory (KiB, VmHWM) of a running process; None once it has ended."""
    try:
        with open(f"/proc/{pid}/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
    except (OSError, StopIteration):
        return None


@contextlib.contextmanager
def running(command, **popen):
    """A started process, killed and reaped (a bounded wait) however the block ends."""
    process = subprocess.Popen(command, **popen)
    try:
        yield process
    finally:
        if process.poll() is None:
            process.kill()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            print(f"warning: process {process.pid} ({command[0]}) did not end", file=sys.stderr)
        if process.stdout:
            process.stdout.close()


def wait_until(done, seconds, step=0.01):
    """Whether done() came true within `seconds`, asked every `step` seconds."""
    deadline = time.monotonic() + seconds
    while not done():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


class Wine:
    """A Wine prefix for the Windows program and the server that runs it."""

    def __init__(self, wine64, prefix):
        self.wine64 = wine64
        server = os.path.join(os.path.dirname(wine64), "wineserver")
        self.wineserver = server if os.access(server, os.X_OK) else shutil.which("wineserver")
        self.prefix = os.path.abspath(prefix)
        # As cmake/wine-run does: Wine maps UTF-8 file names only under a UTF-8 locale.
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", LC_CTYPE="C.UTF-8")
        if "LC_ALL" in self.env:
            self.env["LC_ALL"] = "C.UTF-8"
        self.started_server = None  # whether the bench started the server: known at the first warm-up
        self.pid = None

    def server_pid(self):
        """The process id of the server of this prefix, or None."""
        wanted = b"WINEPREFIX=" + os.fsencode(self.prefix)
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/comm") as comm:
                    if not comm.read().startswith("wineserver"):
                        continue
                with open(f"/proc/{entry}/environ", "rb") as environ:
                    if wanted in environ.read().split(b"\0"):
                        return int(entry)
            except OSError:
                continue
        return None

    def warm(self):
        """Starts the server (it stays 120 s past its last client) and the
        prefix's services, creating the prefix on first use, all three
        standard streams detached so that no service holds a pipe of ours."""
        os.makedirs(self.prefix, exist_ok=True)
        if self.started_server is None:
            self.started_server = self.server_pid() is None
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env)
        subprocess.run([self.wineserver, "-p", "120"], timeout=60, check=False, **quiet)
        subprocess.run([self.wine64, "wineboot"], timeout=600, check=False, **quiet)
        self.pid = self.server_pid()
        if self.pid is None:
            raise SystemExit(f"no Wine server runs for {self.prefix}")

    def close(self):
        """Ends the server and every process of the prefix, if the bench started the server."""
        if self.started_server:
            subprocess.run([self.wineserver, "-k"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=False)


@dataclasses.dataclass
class Program:
    """A tail to measure: the command before its options, and for the
    Windows program the Wine that runs it (its output has CR LF line ends)."""
    label: str
    command: list
    wine: Wine = None

    @property
    def newline(self):
        return b"\r\n" if self.wine else b"\n"


class Follower:
    """A started program and the CPU seconds it has spent, counting for a
    program under Wine those its server has spent since the start."""

    def __init__(self, program):
        """Reads the server's CPU time, before the program starts."""
        self.program = program
        self.process = None
        self.server = program.wine.pid if program.wine else None
        self.server_start = cpu_seconds(self.server) if self.server else 0.0

    def cpu(self):
        """CPU seconds so far, and the part of them that is the Wine server's;
        None once the process has been reaped."""
        try:
            server = cpu_seconds(self.server) - self.server_start if self.server else 0.0
            return cpu_seconds(self.process.pid) + server, server
        except OSError:
            return None

    def ended(self):
        """The exit status, or None while it runs."""
        return self.process.poll()


@contextlib.contextmanager
def following(programs, args, stdouts, cwd=None):
    """Starts each program with `args`, its standard output to the matching
    entry of stdouts (a file, subprocess.PIPE or DEVNULL); ends them all
    however the block ends. Wine is warmed up first."""
    for program in programs:
        if program.wine:
            program.wine.warm()
    with contextlib.ExitStack() as stack:
        followers = []
        for program, stdout in zip(programs, stdouts):
            follower = Follower(program)
            follower.process = stack.enter_context(running(
                program.command + args, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.DEVNULL,
                cwd=cwd, env=program.wine.env if program.wine else None))
            followers.append(follower)
        yield followers


class Output:
    """What a follower's standard output pipe has given, read as it comes:
    its last few KiB (CR LF read as LF) and when each appended line came."""

    def __init__(self, follower):
        self.fd = follower.process.stdout.fileno()
        self.data = b""
        self.at = None  # when the last piece came
        self.partial = b""  # the line not yet ended
        self.appended = {}  # the number of each line `append N at T` seen: when it came
        self.ended = False

    def take(self, piece, now):
        self.at = now
        self.data = (self.data[-4096:] + piece).replace(b"\r\n", b"\n")
        *lines, self.partial = (self.partial + piece).split(b"\n")
        for line in lines:
            if line.startswith(b"append "):
                self.appended.setdefault(int(line.split()[1]), now)


def pump(outputs, deadline, done=lambda output: False):
    """Reads the outputs with select as their data comes, until each that
    has not ended is done(output) or the deadline has passed (what is there
    by then is read)."""
    while True:
        waiting = {output.fd: output for output in outputs if not output.ended and not done(output)}
        if not waiting:
            return
        left = deadline - time.monotonic()
        ready = select.select(list(waiting), [], [], max(left, 0))[0]
        for fd in ready:
            piece = os.read(fd, 65536)
            if piece:
                waiting[fd].take(piece, time.monotonic())
            else:
                waiting[fd].ended = True
        if not ready or left <= 0:
            return


def await_text(outputs, text, deadline):
    """The monotonic time at which each output showed `text`, None for one
    that did not by the deadline or ended; an output that showed it keeps
    what came after it."""
    arrived = {}

    def shown(output):
        at = output.data.find(text) if output not in arrived else -1
        if at >= 0:
            arrived[output] = output.at
            output.data = output.data[at + len(text):]
        return output in arrived

    pump(outputs, deadline, shown)
    return [arrived.get(output) for output in outputs]


# --- Printing ----------------------------------------------------------------

def print_header():
    print(f"{'workload':{LABEL_WIDTH}} {'ours s':>9} {'system s':>9} {'ratio':>7}", flush=True)


def print_row(label, ours, system, extra=""):
    """A row of seconds: ours, the system's and their ratio (none to a system's 0, idle
    CPU less than a clock tick); None is a failed measurement."""
    if ours is None or system is None:
        figures = f"{'-' if ours is None else f'{ours:.3f}':>9} {'-' if system is None else f'{system:.3f}':>9}" \
                  f" {'':7}"
    else:
        figures = f"{ours:9.3f} {system:9.3f} {f'{ours / system:.2f}' if system > 0 else '-':>7}"
    print(f"{label:{LABEL_WIDTH}} {figures}{extra}", flush=True)


def median_or_none(values):
    """The median, None if a measurement failed."""
    return statistics.median(values) if values and None not in values else None


# --- copy: a-h ---------------------------------------------------------------

def run_once(command, input_path, piped):
    """Wall time and peak resident memory (KiB) of one run."""
    start = time.perf_counter()
    with open(os.devnull, "wb") as null:
        if piped:
            with running(["cat", input_path], stdout=subprocess.PIPE) as feeder, \
                 running(command, stdin=feeder.stdout, stdout=null) as process:
                feeder.stdout.close()
                _, status, usage = os.wait4(process.pid, 0)
                process.returncode = os.waitstatus_to_exitcode(status)
                feeder.wait(timeout=60)
        else:
            with running(command + [input_path], stdin=subprocess.DEVNULL, stdout=null) as process:
                _, status, usage = os.wait4(process.pid, 0)
                process.returncode = os.waitstatus_to_exitcode(status)
    elapsed = time.perf_counter() - start
    if process.returncode != 0:
        raise SystemExit(f"{command} failed with status {process.returncode}")
    return elapsed, usage.ru_maxrss


def copy_part(options):
    big = os.path.join(options.dir, "1gib.txt")
    medium = os.path.join(options.dir, "100mib.txt")
    long_lines = os.path.join(options.dir, "100mib-long-lines.txt")
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
    print(f"{'workload':{LABEL_WIDTH}} {'ours s':>9} {'system s':>9} {'ratio':>7}  {'floor s':>8} {'/floor':>7}"
          "  peak memory (ours / system)", flush=True)
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
        floor_columns = f"  {statistics.median(times['floor']):8.3f} {ours / statistics.median(times['floor']):7.2f}" \
            if floor else ""
        extra = f"{'':18}" if memory and not floor else ""
        extra += f"  {peaks['ours'] / 1024:.0f} MiB / {peaks['system'] / 1024:.0f} MiB" if memory else ""
        print_row(name, ours, statistics.median(times["system"]), floor_columns + extra)


# --- writer: f, k ------------------------------------------------------------

def expected_output(path, newline, size=MIB):
    """The content of `path` as a program writes it, by pieces of about `size` bytes."""
    with open(path, "rb") as data:
        while chunk := data.read(size):
            yield chunk if newline == b"\n" else chunk.replace(b"\n", newline)


def first_difference(path, expected):
    """The offset of the first byte where the file at `path` differs from
    the concatenated pieces of `expected` (ends too soon, goes on past them),
    or None if they are the same."""
    offset = 0
    with open(path, "rb") as got:
        for piece in expected:
            data = got.read(len(piece))
            if data != piece:
                return offset + next((i for i, (a, b) in enumerate(zip(data, piece)) if a != b),
                                     min(len(data), len(piece)))
            offset += len(piece)
        return offset if got.read(1) else None


def wrong_line(path, offset):
    """Where the output at `path` goes wrong at byte `offset`, for a report:
    the line's number, what it is and what the followed file has there (the
    line "start", then the numbered lines)."""
    with open(path, "rb") as data:
        before = data.read(offset)
        number = before.count(b"\n")
        start = before.rfind(b"\n") + 1
        data.seek(start)
        there = data.readline(200).rstrip(b"\r\n")
    expected = b"start" if number == 0 else numbered_line(number - 1).rstrip(b"\n")
    return f"line {number + 1} is {there!r} where the file has {expected!r}"


def writer_once(program, source, piece, work):
    """CPU seconds of `program -f` (and the Wine server's part of them) until
    all of `source`, appended to the followed file by dd in pieces of `piece`
    bytes, is on its standard output; and a report of what is wrong with that
    output, None if it is the file's content as the program writes it."""
    followed = os.path.join(work, "writer.txt")
    written = os.path.join(work, "writer.out")
    with open(followed, "wb") as log:
        log.write(b"start\n")
    with open(written, "wb") as out, following([program], ["-f", followed], [out]) as (follower,):
        # Following has begun once the line in the file is out.
        begun = len(b"start" + program.newline)
        wait_until(lambda: os.path.getsize(written) >= begun or follower.ended() is not None, 60)
        if os.path.getsize(written) < begun:
            return None, f"{program.label}: not following (status {follower.ended()})"
        with running(["dd", f"if={source}", f"of={followed}", f"bs={piece}", "oflag=append", "conv=notrunc",
                      "status=none"], stdin=subprocess.DEVNULL) as writer:
            try:
                writer.wait(timeout=300)
            except subprocess.TimeoutExpired:
                return None, "the writer did not end within 300 s"
        size = os.path.getsize(followed)
        if program.newline != b"\n":
            size += sum(chunk.count(b"\n") for chunk in expected_output(followed, b"\n"))
        wait_until(lambda: os.path.getsize(written) >= size or follower.ended() is not None, 120, 0.005)
        cpu = follower.cpu()
    offset = first_difference(written, expected_output(followed, program.newline))
    if offset is None:
        return cpu, None
    return cpu, (f"{program.label}: {os.path.getsize(written)} of {size} bytes out, wrong from byte {offset}: "
                 + wrong_line(written, offset))


def writer_part(options, programs):
    source = os.path.join(options.dir, "100mib-numbered.txt")
    generate_numbered(source, 100 * MIB)
    print_header()
    for name, piece, piece_text in (("f", MIB, "1 MiB"), ("k", 4096, "4 KiB")):
        cpu = {program.label: [] for program in programs}
        faults = {program.label: [] for program in programs}
        for _ in range(options.runs):
            for program in programs:
                seconds, fault = writer_once(program, source, piece, options.dir)
                cpu[program.label].append(seconds)
                if fault:
                    faults[program.label].append(fault)

        def right(label):
            return f"{options.runs - len(faults[label])}/{options.runs}"
        label = f"{name} -f, 100 MiB appended in {piece_text} pieces, CPU"
        system = median_or_none([c and c[0] for c in cpu["system"]])
        for program in programs:
            if program.label == "system":
                continue
            runs = cpu[program.label]
            ours = median_or_none([c and c[0] for c in runs])
            server = f", Wine server {statistics.median(c[1] for c in runs):.3f} s" \
                if program.wine and ours is not None else ""
            print_row(label + (", under Wine" if program.wine else ""), ours, system,
                      f"  output right in {right(program.label)} runs (system {right('system')}){server}")
        for fault in sum(faults.values(), []):
            print(f"    {fault}", flush=True)


# --- idle: i -----------------------------------------------------------------

def idle_row(programs, option, root, names, seconds, start_timeout=120):
    """CPU seconds (and the Wine server's part) of each program following
    one_line_files `names` under root with `option` for `seconds` from when
    all show the last file's line, all at the same time; what went wrong
    instead for a program that ended or did not show it in `start_timeout`."""
    with following(programs, [option, "-n", "1"] + names, [subprocess.PIPE] * len(programs), cwd=root) as followers:
        outputs = [Output(follower) for follower in followers]
        shown = await_text(outputs, shown_last(names), time.monotonic() + start_timeout)
        before = [follower.cpu() for follower in followers]
        pump(outputs, time.monotonic() + seconds)
        after = [follower.cpu() for follower in followers]
        results = []
        for follower, at, start, end in zip(followers, shown, before, after):
            if follower.ended() is not None:
                results.append(f"ended with status {follower.ended()}")
            elif at is None:
                results.append(f"not following after {start_timeout} s")
            else:
                results.append((end[0] - start[0], end[1] - start[1]))
        return results


def print_idle(label, programs, results, per=1.0):
    """A row of each program's result of idle_row, times `per`, beside the system's."""
    results = dict(zip((program.label for program in programs), results))
    system = results["system"]
    for program in programs:
        if program.label == "system":
            continue
        ours = results[program.label]
        extra = ""
        if not isinstance(ours, tuple):
            extra, ours = f"  {ours}", None
        elif program.wine:
            extra, ours = f"  Wine server {ours[1] * per:.3f} s", ours[0] * per
        else:
            ours = ours[0] * per
        if not isinstance(system, tuple):
            extra += f"  system {system}"
        print_row(label + (", under Wine" if program.wine else ""), ours,
                  system[0] * per if isinstance(system, tuple) else None, extra)


def idle_part(options, programs):
    print_header()
    for folders in (1, 200):
        root = os.path.join(options.dir, "idle" if folders == 1 else f"idle-{folders}")
        names = one_line_files(root, 1000, folders)
        for option in ("-f", "-F"):
            label = f"i {option}, 1000 idle files in {folders} folder{'s' if folders > 1 else ''}, " \
                    f"{options.idle_seconds:.0f} s, CPU"
            print_idle(label, programs, idle_row(programs, option, root, names, options.idle_seconds))


# --- latency: j --------------------------------------------------------------

def random_appends(names, count):
    """`count` appends for latency_pass, each to one of `names` chosen at
    random after a random pause of 0.05-2.5 s, so at a random phase of a
    program that polls; unseeded: each pass samples other phases."""
    rng = random.Random()
    return [(rng.uniform(0.05, 2.5), rng.choice(names)) for _ in range(count)]


def latency_pass(programs, option, root, names, appends, timeout, after_shown=True):
    """For each program, the seconds from each line appended to a file it
    follows with `option` (of one_line_files `names` under root, -n 1) to
    the line's showing on its standard output; None for a line missed, not
    shown within `timeout`. `appends` are pairs of a pause (seconds) and the
    name appended to after it, a timestamped line with a write and a flush;
    a pause counts from the line before's showing (or timeout) if
    `after_shown`, else from its append, which keeps a steady pace whatever
    the programs do. The programs follow at the same time."""
    written = []
    with following(programs, [option, "-n", "1"] + names, [subprocess.PIPE] * len(programs), cwd=root) as followers, \
         contextlib.ExitStack() as logs:
        outputs = [Output(follower) for follower in followers]
        await_text(outputs, shown_last(names), time.monotonic() + 120)  # following has begun
        opened = {}
        due = time.monotonic()
        for number, (pause, name) in enumerate(appends):
            due += pause
            pump(outputs, due)
            if name not in opened:
                opened[name] = logs.enter_context(open(os.path.join(root, name), "ab"))
            written.append(time.monotonic())
            opened[name].write(b"append %d at %.6f\n" % (number, written[-1]))
            opened[name].flush()
            if after_shown or number == len(appends) - 1:
                pump(outputs, written[-1] + timeout, lambda output: number in output.appended)
                due = time.monotonic()
    return [[output.appended[number] - at if output.appended.get(number, math.inf) - at <= timeout else None
             for number, at in enumerate(written)] for output in outputs]


def describe_delays(delays, timeout):
    """Median and worst in ms, a missed line later than any seen."""
    ordered = sorted(math.inf if d is None else d for d in delays)
    missed = sum(d is None for d in delays)

    def ms(seconds):
        return f"> {timeout * 1000:.0f}" if seconds == math.inf else f"{seconds * 1000:.1f}"
    text = f"median {ms(statistics.median(ordered)):>7} ms, worst {ms(ordered[-1]):>7} ms"
    return text + (f" ({missed} of {len(delays)} missed)" if missed else "")


def delay_row(label, programs, option, root, count, schedule, timeout, after_shown=True):
    """Prints the delays of a latency_pass of `programs` following `count`
    one-line files under root, appended to as schedule(names) says."""
    names = one_line_files(root, count)
    delays = latency_pass(programs, option, root, names, schedule(names), timeout, after_shown)
    print(label, flush=True)
    for program, seen in zip(programs, delays):
        print(f"    {program.label:12} {describe_delays(seen, timeout)}", flush=True)


def beside_system(natives, wines):
    """The programs to follow side by side, and where: the native ones, then
    each Windows program under Wine beside the system's tail (the last native)."""
    return [("", natives)] + [(" under Wine", [wine, natives[-1]]) for wine in wines]


def latency_part(options, natives, wines):
    root = os.path.join(options.dir, "latency")
    for option in ("-f", "-F"):
        for where, programs in beside_system(natives, wines):
            delay_row(f"j {option}{where}, append to its line, {options.appends} appends", programs, option, root, 1,
                      lambda names: random_appends(names, options.appends), options.latency_timeout)


# --- steady: s, s2 -----------------------------------------------------------

STEADY_PAUSE = 0.02


def steady_part(options, natives, wines):
    root = os.path.join(options.dir, "latency")
    for row, option in (("s", "-f"), ("s2", "-F")):
        for where, programs in beside_system(natives, wines):
            delay_row(f"{row} {option}{where}, a line every {STEADY_PAUSE * 1000:.0f} ms, {options.steady_lines} lines,"
                      " append to its line", programs, option, root, 1,
                      lambda names: [(STEADY_PAUSE, names[0])] * options.steady_lines, options.latency_timeout,
                      after_shown=False)


# --- scale: t ----------------------------------------------------------------

def startup_once(program, root, names, timeout=120):
    """Seconds from starting `program -f -n 1` of one_line_files `names`
    under root, standard output a pipe, until it shows the last file's line,
    None if it does not within `timeout`; and its peak resident memory then
    (KiB)."""
    start = time.monotonic()
    with following([program], ["-f", "-n", "1"] + names, [subprocess.PIPE], cwd=root) as (follower,):
        (shown,) = await_text([Output(follower)], shown_last(names), start + timeout)
        return None if shown is None else shown - start, peak_memory(follower.process.pid)


def scale_part(options, natives, wines):
    count = options.scale_files
    root = os.path.join(options.dir, f"scale-{count}")
    names = one_line_files(root, count)
    print_header()
    times = {program.label: [] for program in natives}
    peaks = {program.label: [] for program in natives}
    for _ in range(options.runs):
        for program in natives:
            elapsed, peak = startup_once(program, root, names)
            times[program.label].append(elapsed)
            peaks[program.label].append(peak)

    def memory(label):
        return "-" if None in peaks[label] else f"{max(peaks[label]) / 1024:.1f} MiB"
    ours, system = natives
    print_row(f"t -f -n 1, {count} files, start-up until following", median_or_none(times[ours.label]),
              median_or_none(times[system.label]), f"  peak memory {memory(ours.label)} / {memory(system.label)}")
    per_minute = 60 / options.idle_seconds
    for option in ("-f", "-F"):
        print_idle(f"t {option}, {count} idle files, CPU s a minute over {options.idle_seconds:.0f} s", natives,
                   idle_row(natives, option, root, names, options.idle_seconds), per_minute)
    count = options.wine_scale_files
    root = os.path.join(options.dir, f"scale-{count}")
    for wine in wines:
        programs = [wine, system]
        for option in ("-f", "-F"):
            delay_row(f"t {option} under Wine, {count} files, append to a random one to its line, "
                      f"{options.appends} appends", programs, option, root, count,
                      lambda names: random_appends(names, options.appends), options.latency_timeout)
        names = one_line_files(root, count)
        for option in ("-f", "-F"):
            print_idle(f"t {option}, {count} idle files, CPU s a minute over {options.idle_seconds:.0f} s", programs,
                       idle_row(programs, option, root, names, options.idle_seconds), per_minute)


# --- Main --------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tail", default="build/native/tail")
    parser.add_argument("--system-tail", default=shutil.which("tail"))
    parser.add_argument("--windows-tail", help="the Windows program: the follow rows run under Wine as well")
    parser.add_argument("--wine", default=shutil.which("wine64") or "/usr/lib/wine/wine64")
    parser.add_argument("--wineprefix", help="default: DIR/wineprefix")
    parser.add_argument("--dir", default="/tmp/tail-bench")
    parser.add_argument("--only", default=",".join(PARTS), help="the parts to run, of " + ",".join(PARTS))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--appends", type=int, default=20)
    parser.add_argument("--latency-timeout", type=float, default=5)
    parser.add_argument("--steady-lines", type=int, default=250)
    parser.add_argument("--scale-files", type=int, default=10000)
    parser.add_argument("--wine-scale-files", type=int, default=2000)
    options = parser.parse_args()
    parts = options.only.split(",")
    if not set(parts) <= set(PARTS):
        parser.error(f"--only takes {','.join(PARTS)}")
    os.makedirs(options.dir, exist_ok=True)
    # A termination ends the processes started, as an interrupt does.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    # Every followed file is a descriptor, in the programs and in a Wine server started here.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if "scale" in parts and hard != resource.RLIM_INFINITY and hard < options.scale_files + 100:
        print(f"warning: at most {hard} open files, too few for --scale-files {options.scale_files}", file=sys.stderr)

    ours = Program("ours", [os.path.abspath(options.tail)])
    system = Program("system", [options.system_tail])
    wine = None
    wines = []
    if options.windows_tail:
        wine = Wine(options.wine, options.wineprefix or os.path.join(options.dir, "wineprefix"))
        wines = [Program("ours (Wine)", [wine.wine64, os.path.abspath(options.windows_tail)], wine)]
    try:
        if "copy" in parts:
            copy_part(options)
        if "writer" in parts:
            writer_part(options, [ours, system] + wines)
        if "idle" in parts:
            idle_part(options, [ours, system] + wines)
        if "latency" in parts:
            latency_part(options, [ours, system], wines)
        if "steady" in parts:
            steady_part(options, [ours, system], wines)
        if "scale" in parts:
            scale_part(options, [ours, system], wines)
    finally:
        if wine:
            wine.close()


if __name__ == "__main__":
    main()
