#!/usr/bin/env python3
"""The whole path as users run it, each host measured against the others in the same run.

Relay: a child (cat of a file) writes LINES message lines "msg_post 0 info {line K of the
flood}"; each host turns them into "INFO..." lines in a file: ipc_run in Tcl mode (safe child
interpreter, and --trusted when it has it), a tclsh loop (open |, gets, info complete, eval, with
64 KiB buffers and fully buffered output), a bare loop over the Tcl C API (bench/bare_relay),
Python (for line in p.stdout + write), and ipc_run --plain. Package: ipc::run -onmessage against
a tclsh fileevent loop calling the same callback; eight package runs at once against the
same eight in turn. Idle: processor time of ipc_run over a silent child against bare 1 ms sleeps
for as long. Gathering: one braced message of 100,000 and 200,000 lines. Memory: the peak
resident size one outsized line adds to ipc_run, against the line's size.

Times are of the whole process tree (the host and the child it waited for): wall seconds and
processor seconds (user + system), the median of --runs runs.
The grace the library gives an ended child (500 ms) is in every ipc_run wall time. Ratios: how many times faster.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# The strongest plain Tcl host: 64 KiB channel buffers in and out, output fully buffered.
TCLSH_LOOP = r"""
fconfigure stdout -buffering full -buffersize 65536 -translation lf
proc msg_post {report severity args} { puts "INFO: [lindex $args end]" }
set f [open |[list cat [lindex $argv 0]] r]
fconfigure $f -buffersize 65536 -translation lf
set buffer {}
while {[gets $f line] >= 0} {
  append buffer $line
  if {[info complete $buffer]} { eval $buffer; set buffer {} } else { append buffer \n }
}
close $f
"""

# The package path and what a Tcl author writes by hand instead: an event-driven reader calling
# the same callback. Both write the messages through the same buffered stdout.
PACKAGE_CALLBACK = r"""
fconfigure stdout -buffering full -buffersize 65536 -translation lf
proc show {severity id text} { puts "[string toupper $severity]: $text" }
"""
PACKAGE_RUN = PACKAGE_CALLBACK + r"""
package require ipc
ipc::run -onmessage show cat [lindex $argv 0]
"""
# Eight backends at once in one application against the same eight one after another.
CONCURRENT_RUNS = PACKAGE_CALLBACK + r"""
package require ipc
set flood [lindex $argv 0]
if {[lindex $argv 1] eq "together"} {
  # A 10 ms timer: its longest gap is how long the application went unserved.
  set ::last [clock milliseconds]; set ::gap 0
  proc tick {} {
    set now [clock milliseconds]
    set ::gap [expr {max($::gap, $now - $::last)}]
    set ::last $now
    after 10 tick
  }
  after 10 tick
  ipc::wait {*}[lmap i {1 2 3 4 5 6 7 8} {ipc::start -onmessage show cat $flood}]
  puts stderr "gap $::gap"
} else {
  foreach i {1 2 3 4 5 6 7 8} { ipc::run -onmessage show cat $flood }
}
"""
FILEEVENT_LOOP = PACKAGE_CALLBACK + r"""
proc msg_post {report severity args} { show $severity {} [lindex $args end] }
proc readable {f} {
  global buffer done
  while {[gets $f line] >= 0} {
    append buffer $line
    if {[info complete $buffer]} { eval $buffer; set buffer {} } else { append buffer \n }
  }
  if {[eof $f]} { close $f; set done 1 }
}
set buffer {}
set f [open |[list cat [lindex $argv 0]] r]
fconfigure $f -blocking 0 -buffersize 65536 -translation lf
fileevent $f readable [list readable $f]
vwait done
"""

PYTHON_LOOP = r"""
import subprocess, sys
p = subprocess.Popen(["cat", sys.argv[1]], stdout=subprocess.PIPE)
out = sys.stdout.buffer
for line in p.stdout:
    out.write(b"INFO: " + line)
sys.exit(p.wait())
"""


def measure(argv, out_path):
    """Runs argv with stdout to out_path; returns (wall seconds, processor seconds)."""
    with open(out_path, "wb") as out:
        start = time.monotonic()
        process = subprocess.Popen(argv, stdout=out, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.monotonic() - start
        process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.exit("bench: %s exited with %d" % (" ".join(argv), process.returncode))
    return wall, usage.ru_utime + usage.ru_stime


def peak_kib(argv, out_path):
    """Runs argv with stdout to out_path; returns its peak resident size in KiB."""
    with open(out_path, "wb") as out:
        process = subprocess.Popen(argv, stdout=out, stderr=subprocess.DEVNULL)
        _, _, usage = os.wait4(process.pid, 0)
    return usage.ru_maxrss


def count_lines(path):
    with open(path, "rb") as f:
        return sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 20), b""))


def median_run(argv, out_path, runs, expect_lines=None):
    walls, cpus = [], []
    for _ in range(runs):
        wall, cpu = measure(argv, out_path)
        walls.append(wall)
        cpus.append(cpu)
        if expect_lines is not None and count_lines(out_path) != expect_lines:
            sys.exit("bench: %s wrote %d lines, not %d"
                     % (" ".join(argv), count_lines(out_path), expect_lines))
    return statistics.median(walls), statistics.median(cpus)


def write_flood(path, lines):
    with open(path, "w") as f:
        for k in range(lines):
            f.write("msg_post 0 info {line %d of the flood}\n" % k)


def write_braced(path, lines):
    with open(path, "w") as f:
        f.write("msg_post 0 info {start\n")
        f.write("ab\n" * lines)
        f.write("end}\n")


def has_option(ipc_run, option):
    help_text = subprocess.run([ipc_run, "--help"], capture_output=True, text=True).stdout
    return option in help_text


def verdict(value, target, at_least=True):
    met = value >= target if at_least else value <= target
    return "met" if met else "MISSED"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="the build directory")
    parser.add_argument("--lines", type=int, default=1000000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--line-mb", type=int, default=100, help="size of the outsized line")
    args = parser.parse_args()

    ipc_run = os.path.join(args.build, "bin", "ipc_run")
    bare = os.path.join(args.build, "bench", "bare_relay")
    for program in (ipc_run, bare):
        if not os.access(program, os.X_OK):
            sys.exit("bench: %s is not built" % program)
    tclsh = shutil.which("tclsh8.6") or shutil.which("tclsh")
    # The package as built, found by the scripts' package require.
    os.environ["TCLLIBPATH"] = os.path.abspath(os.path.join(args.build, "lib", "tcltk"))

    work = tempfile.mkdtemp(prefix="whole_path_")
    try:
        flood = os.path.join(work, "flood.txt")
        out = os.path.join(work, "out.txt")
        script = os.path.join(work, "loop.tcl")
        pyscript = os.path.join(work, "loop.py")
        write_flood(flood, args.lines)
        with open(script, "w") as f:
            f.write(TCLSH_LOOP)
        with open(pyscript, "w") as f:
            f.write(PYTHON_LOOP)

        package_script = os.path.join(work, "package.tcl")
        fileevent_script = os.path.join(work, "fileevent.tcl")
        with open(package_script, "w") as f:
            f.write(PACKAGE_RUN)
        with open(fileevent_script, "w") as f:
            f.write(FILEEVENT_LOOP)

        hosts = [("ipc_run (Tcl mode)", [ipc_run, "cat", flood])]
        trusted = has_option(ipc_run, "--trusted")
        if trusted:
            hosts.append(("ipc_run --trusted", [ipc_run, "--trusted", "cat", flood]))
        hosts += [
            ("tclsh loop", [tclsh, script, flood]),
            ("bare C-API loop", [bare, "relay", "cat", flood]),
            ("python loop", [sys.executable, pyscript, flood]),
            ("ipc_run --plain", [ipc_run, "--plain", "cat", flood]),
            ("ipc::run -onmessage", [tclsh, package_script, flood]),
            ("tclsh fileevent loop", [tclsh, fileevent_script, flood]),
        ]
        # Round after round of every host, so a change in the machine's load hits all alike. Each
        # host also relays an empty file: its fixed cost (start, exit, and for ipc_run the grace
        # the library gives an ended child) is taken off its wall time, so the ratios compare
        # relaying.
        empty = os.path.join(work, "empty.txt")
        open(empty, "w").close()
        samples = {name: ([], [], []) for name, _ in hosts}
        for _ in range(args.runs):
            for name, argv in hosts:
                # plain mode also posts the empty last line the end of output flushes
                expected = args.lines + (1 if "--plain" in argv else 0)
                wall, cpu = median_run(argv, out, 1, expected)
                fixed, _ = median_run([empty if word == flood else word for word in argv], out, 1)
                samples[name][0].append(wall - fixed)
                samples[name][1].append(cpu)
                samples[name][2].append(wall)
        results = {name: (statistics.median(nets), statistics.median(cpus),
                          statistics.median(walls))
                   for name, (nets, cpus, walls) in samples.items()}
        print("relay of %d message lines, median of %d rounds (whole process tree; net: wall "
              "less the host's wall with an empty file):" % (args.lines, args.runs))
        print("  %-22s %8s %8s %8s %12s" % ("host", "wall s", "net s", "cpu s", "lines/s net"))
        for name, _ in hosts:
            net, cpu, wall = results[name]
            print("  %-22s %8.3f %8.3f %8.3f %12.0f" % (name, wall, net, cpu, args.lines / net))

        def ratio(slow, fast, column):
            return results[slow][column] / results[fast][column]

        print("\nratios (times faster; by net wall | by cpu), targets judged by net wall:")
        checks = [("ipc_run Tcl vs tclsh loop", "tclsh loop", "ipc_run (Tcl mode)", 3.0),
                  ("ipc_run Tcl vs bare C-API loop", "bare C-API loop", "ipc_run (Tcl mode)", 0.8),
                  ("ipc_run Tcl vs python", "python loop", "ipc_run (Tcl mode)", None),
                  ("ipc_run --plain vs python", "python loop", "ipc_run --plain", 1.5),
                  ("ipc::run -onmessage vs fileevent", "tclsh fileevent loop",
                   "ipc::run -onmessage", 1.5)]
        if trusted:
            checks.append(("ipc_run Tcl (safe) vs --trusted", "ipc_run --trusted",
                           "ipc_run (Tcl mode)", 0.95))
        for label, slow, fast, target in checks:
            by_wall, by_cpu = ratio(slow, fast, 0), ratio(slow, fast, 1)
            goal = "" if target is None else "  target >= %.2f: %s" % (target,
                                                                    verdict(by_wall, target))
            print("  %-32s %6.2fx | %6.2fx%s" % (label, by_wall, by_cpu, goal))

        silent = [ipc_run, "sleep", str(args.idle_seconds)]
        _, idle_cpu = measure(silent, out)
        _, bare_cpu = measure([bare, "sleep", str(args.idle_seconds)], out)
        idle_ratio = idle_cpu / bare_cpu if bare_cpu > 0 else float("inf")
        print("\nidle: a child silent for %.1f s costs ipc_run %.1f ms of processor time "
              "(%.2f%% of a core); bare 1 ms sleeps for as long: %.1f ms (%.2f%%); "
              "ratio %.2f, target <= 1.30: %s"
              % (args.idle_seconds, 1e3 * idle_cpu, 100 * idle_cpu / args.idle_seconds,
                 1e3 * bare_cpu, 100 * bare_cpu / args.idle_seconds, idle_ratio,
                 verdict(idle_ratio, 1.3, at_least=False)))

        # Net of a run relaying a one-line message: what is left is the gathering.
        braced = os.path.join(work, "braced.txt")
        write_braced(braced, 0)
        _, base_cpu = median_run([ipc_run, "cat", braced], out, args.runs, 2)
        gathered = {}
        for lines in (100000, 200000):
            write_braced(braced, lines)
            wall, cpu = median_run([ipc_run, "cat", braced], out, args.runs, lines + 2)
            gathered[lines] = (wall, max(cpu - base_cpu, 1e-6))
        print("\none braced message over many lines (whole run; processor time net of a "
              "one-line message):")
        for lines, (wall, net) in gathered.items():
            print("  %7d lines: %.3f s wall, %.3f s processor" % (lines, wall, net))
        print("  200,000 lines under 1 s: %s (the time per line gathered, from 100,000 to "
              "200,000 lines, is in tcl_mode_bench)" % verdict(gathered[200000][0], 1.0, False))

        # Several runs at once: the package's worker threads against the same runs in turn.
        concurrent = os.path.join(work, "concurrent.tcl")
        with open(concurrent, "w") as f:
            f.write(CONCURRENT_RUNS)
        eighth = os.path.join(work, "eighth.txt")
        write_flood(eighth, max(args.lines // 8, 1))
        walls = {}
        for mode in ("together", "in turn"):
            walls[mode], _ = median_run([tclsh, concurrent, eighth, mode], out, args.runs,
                                        8 * max(args.lines // 8, 1))
        gap = subprocess.run([tclsh, concurrent, eighth, "together"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True).stderr.split()[-1]
        lines_each = max(args.lines // 8, 1)
        print("\nconcurrent runs in one Tcl application: 8 backends of %d lines each (each run "
              "holds the library's 0.5 s grace): together %.3f s (%.0f lines/s), one after "
              "another %.3f s (%.0f lines/s): %.2fx, target >= 1.00: %s; longest gap of a 10 ms "
              "timer meanwhile %s ms, target <= 100: %s"
              % (lines_each, walls["together"], 8 * lines_each / walls["together"],
                 walls["in turn"], 8 * lines_each / walls["in turn"],
                 walls["in turn"] / walls["together"],
                 verdict(walls["in turn"] / walls["together"], 1.0), gap,
                 verdict(int(gap), 100, at_least=False)))

        # The host's own size with a one-byte line is the baseline each outsized line adds to.
        line_bytes = args.line_mb * 1000000
        tiny, big = os.path.join(work, "tiny.txt"), os.path.join(work, "big.txt")
        print("\nmemory: one line of %d MB (peak resident size added, as times the line):"
              % args.line_mb)
        for label, mode, head in (("stray text, Tcl mode", [], ""),
                                  ("a message, Tcl mode", [], "msg_post 0 info {"),
                                  ("plain mode", ["--plain"], "")):
            tail = "}" if head else ""
            with open(tiny, "w") as f:
                f.write(head + "x" + tail)
            # Written in pieces: a child's peak size starts from this process's at its fork.
            with open(big, "w") as f:
                f.write(head)
                for _ in range(args.line_mb):
                    f.write("x" * 1000000)
                f.write(tail)
            base = peak_kib([ipc_run, "-q"] + mode + ["cat", tiny], out)
            added = (peak_kib([ipc_run, "-q"] + mode + ["cat", big], out) - base) * 1024
            print("  %-22s %6.2fx  target <= 3.00: %s"
                  % (label, added / line_bytes, verdict(added / line_bytes, 3.0, False)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
