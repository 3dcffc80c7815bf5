#!/usr/bin/env python3
"""System calls per MiB copied, counted through the seam's call hook.

Runs bench/syscall_count (the tail program that reports its calls) on a
generated 16 MiB file: `-n +2` of the file, and `-n 10` of the same bytes
through a pipe. With --windows it runs the Windows build's
syscall_count.exe under the build tree's Wine; Wine's times mean nothing,
but the calls the program makes are the Windows program's own.

    bench/syscalls.py [--build build/native] [--windows] [--dir /tmp/tail-bench]
"""
import argparse
import os
import subprocess

MIB = 1 << 20
SIZE = 16 * MIB


def counts(command, path, piped):
    """The counts the program reports on standard error, by call name."""
    with open(os.devnull, "wb") as null:
        if piped:
            feeder = subprocess.Popen(["cat", path], stdout=subprocess.PIPE)
            result = subprocess.run(command, stdin=feeder.stdout, stdout=null, stderr=subprocess.PIPE, check=True)
            feeder.stdout.close()
            feeder.wait()
        else:
            result = subprocess.run(command + [path], stdin=subprocess.DEVNULL, stdout=null, stderr=subprocess.PIPE,
                                    check=True)
    found = {}
    for line in result.stderr.decode().splitlines():
        name, _, number = line.strip().partition(" ")
        found[name] = int(number)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=None, help="build directory (default build/native or build/windows)")
    parser.add_argument("--windows", action="store_true", help="count the Windows program under Wine")
    parser.add_argument("--dir", default="/tmp/tail-bench")
    options = parser.parse_args()
    build = options.build or ("build/windows" if options.windows else "build/native")
    if options.windows:
        command = [os.path.join(build, "wine-run"), os.path.join(build, "bench", "syscall_count.exe")]
    else:
        command = [os.path.join(build, "bench", "syscall_count")]

    os.makedirs(options.dir, exist_ok=True)
    path = os.path.join(options.dir, "16mib.txt")
    if not (os.path.exists(path) and os.path.getsize(path) == SIZE):
        line = b"".join(b"line %07d of the system-call count\n" % i for i in range(SIZE // 35 + 1))
        with open(path, "wb") as out:
            out.write(line[:SIZE])

    print(f"{'workload':28} {'reads/MiB':>10} {'writes/MiB':>11} {'seeks/MiB':>10}")
    for name, args, piped in (("-n +2, 16 MiB file", ["-n", "+2"], False), ("-n 10, 16 MiB pipe", ["-n", "10"], True)):
        found = counts(command + args, path, piped)
        per_mib = {call: found.get(call, 0) / (SIZE / MIB) for call in ("ReadFile", "WriteFile", "SetFilePointer")}
        print(f"{name:28} {per_mib['ReadFile']:10.1f} {per_mib['WriteFile']:11.1f} {per_mib['SetFilePointer']:10.2f}")


if __name__ == "__main__":
    main()
