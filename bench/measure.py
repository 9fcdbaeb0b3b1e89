"""Times the program against its floors and checks the performance goals.

Usage: python3 measure.py PROGRAM [--quick] [--old OLD_PROGRAM]
Run in the directory that bench/workloads.py filled, after bench/run.sh made
NAME.after (the renewed content) next to each NAME.conf.

With --old, every run of PROGRAM has a twin of OLD_PROGRAM on the same file in
the same round, and a table compares their medians and peak memories; a
workload more than 5% slower at the median fails like a goal not met.

Every timed command starts from a known file: work.conf is rewritten with
the workload's bytes and synced before each run, untimed, so that one run's
dirty pages and pending writes do not slow the next. The commands of a group
run interleaved, round after round (in a rotating order), so that a change in
the load of this shared machine falls on all of them alike. A run is timed
from the spawn to the exit status: the whole process, start-up included.
"""
import os
import shutil
import statistics
import sys
import time

program = sys.argv[1]
quick = "--quick" in sys.argv[2:]
old_program = sys.argv[sys.argv.index("--old") + 1] if "--old" in sys.argv[2:] else None
programs = (program, old_program)
pairs = ["TLS_KEY", "pkey", "TLS_CERT", "cert"]
cat = shutil.which("cat")
dd = shutil.which("dd")
gnu_time = "/usr/bin/time"
work = "work.conf"
contents = {}


def content(path):
    if path not in contents:
        with open(path, "rb") as f:
            contents[path] = f.read()
    return contents[path]


def write_out(path, data):
    """Writes `data` over the file at `path`, in large writes, and syncs it. A
    new file gets mode 0640, as a parameter file that a service reads through
    its group has (the program warns about one that every user can read)."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o640)
    try:
        view = memoryview(data)
        offset = 0
        while offset < len(data):
            offset += os.pwrite(fd, view[offset:offset + (1 << 24)], offset)
        os.ftruncate(fd, len(data))
        os.fsync(fd)
    finally:
        os.close(fd)


def restore(path):
    """Makes work.conf a new file holding exactly the bytes of `path`, on disk.
    A new one, because pages already cached keep the size that their first
    write gave them, and that changes how fast the file reads."""
    if os.path.exists(work):
        os.unlink(work)
    write_out(work, content(path))
    os.sync()


null_output = [(os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, "/dev/null", os.O_WRONLY, 0)]


def run_once(argv):
    """Returns (seconds, exit status, user + system seconds)."""
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=null_output)
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    return elapsed, os.waitstatus_to_exitcode(status), usage.ru_utime + usage.ru_stime


def peak_memory(argv):
    """The peak resident size of `argv`, in bytes. Spawned from this process,
    a child would count this process's memory as its own (the peak survives
    exec), so GNU time's small process forks it."""
    _, status, _ = run_once([gnu_time, "-f", "%M", "-o", "memory.txt"] + argv)
    with open("memory.txt") as f:
        return status, int(f.read().split()[-1]) * 1024


class command:
    """One timed command: `start` is the file that work.conf holds before each
    run (None: work.conf is not used), `status` the exit status it must give."""

    def __init__(self, name, argv, start, status, size=0):
        self.name, self.argv, self.start, self.status, self.size = name, argv, start, status, size
        self.times, self.cpu, self.peak = [], [], 0

    def check(self, status):
        if status != self.status:
            print(f"{self.name}: exit status {status}, expected {self.status}", file=sys.stderr)
            sys.exit(2)

    def run(self, keep):
        if self.start is not None:
            restore(self.start)
        elapsed, status, cpu = run_once(self.argv)
        self.check(status)
        if keep:
            self.times.append(elapsed)
            self.cpu.append(cpu)

    def measure_memory(self):
        # The median of three: a small run's peak moves by a few hundred KiB
        # from one run to the next, as much as two builds differ.
        peaks = []
        for _ in range(3):
            if self.start is not None:
                restore(self.start)
            status, peak = peak_memory(self.argv)
            self.check(status)
            peaks.append(peak)
        self.peak = statistics.median(peaks)

    def median(self):
        return statistics.median(self.times)

    def quartiles(self):
        q = statistics.quantiles(self.times, n=4)
        return q[0], q[2]


def renewal(workload):
    return command(f"{workload}: renewal", [program, work] + pairs, f"{workload}.conf", 0,
                   os.path.getsize(f"{workload}.conf"))


def unchanged(workload):
    return command(f"{workload}: nothing changed", [program, work] + pairs, f"{workload}.after", 1,
                   os.path.getsize(f"{workload}.after"))


def cat_of(workload):
    # The file as the program gets it, in the same state in the page cache:
    # how a file was written (in large writes or small ones) changes how fast
    # it reads back.
    return command(f"cat {workload}", [cat, work], workload, 0)


def durable_copy(workload):
    # dd as a user would make a durable copy: the file emptied, the new
    # content written and synced.
    return command(f"dd conv=fdatasync {workload}.after",
                   [dd, f"if={workload}.after", f"of={work}", "bs=1M", "conv=fdatasync", "status=none"],
                   f"{workload}.conf", 0)


def in_place_copy(workload):
    return command(f"dd conv=notrunc,fdatasync {workload}.after",
                   [dd, f"if={workload}.after", f"of={work}", "bs=1M", "conv=notrunc,fdatasync",
                    "status=none"],
                   f"{workload}.conf", 0)


# The inputs written again in large writes, as work.conf is before each run.
for path in sorted(os.listdir(".")):
    if path.endswith((".conf", ".after")) and path != work:
        data = content(path)
        os.unlink(path)
        write_out(path, data)
os.sync()

c = {}
for name in ("typical", "large-end", "large-start", "small-end", "small-start", "many"):
    c[name] = renewal(name)
for name in ("typical", "large-end"):
    c[f"{name} unchanged"] = unchanged(name)
    c[f"cat {name}"] = cat_of(f"{name}.conf")
    c[f"cat {name}.after"] = cat_of(f"{name}.after")
for name in ("large-start", "many"):
    c[f"durable {name}"] = durable_copy(name)
c["in place typical"] = in_place_copy("typical")
# No goal: what starting a process and waiting for it costs here, the share
# of a typical run that no program can save.
c["true"] = command("true (start-up alone)", [shutil.which("true")], None, 0)

# (commands, rounds, warm-up rounds): a typical run takes a millisecond or
# two, so it needs many more rounds for a stable median than a 60 MB one.
groups = [
    (["typical", "in place typical", "typical unchanged", "cat typical", "cat typical.after", "true"], 301, 10),
    (["large-end", "cat large-end", "large-end unchanged", "cat large-end.after", "small-end"], 51, 3),
    (["large-start", "durable large-start", "small-start"], 51, 3),
    (["many", "durable many"], 51, 3),
]
# The old program's twin of each run of the program, next to it in the round.
if old_program is not None:
    for names, _, _ in groups:
        for name in [n for n in names if c[n].argv[0] == program]:
            x = c[name]
            c[f"{name} (old)"] = command(f"{x.name} (old)", [old_program] + x.argv[1:], x.start,
                                         x.status, x.size)
            names.insert(names.index(name) + 1, f"{name} (old)")


def busy_seconds():
    """CPU time spent by everything on the machine so far (not idle, not
    waiting for I/O), and by this process and its children."""
    with open("/proc/stat") as f:
        ticks = [int(x) for x in f.readline().split()[1:9]]
    user, nice, system, _, _, irq, softirq, steal = ticks
    mine = os.times()
    return ((user + nice + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK"),
            mine.user + mine.system + mine.children_user + mine.children_system)


began, busy_before = time.monotonic(), busy_seconds()
for names, rounds, warm in groups:
    if quick:
        rounds, warm = 5, 1
    for i in range(warm + rounds):
        shift = i % len(names)
        for name in names[shift:] + names[:shift]:
            c[name].run(keep=i >= warm)
    for name in names:
        if c[name].argv[0] in programs:
            c[name].measure_memory()

print("| command | median | quartiles | fastest | CPU (user + system) | peak memory |")
print("|---|---|---|---|---|---|")
for names, _, _ in groups:
    for name in names:
        x = c[name]
        low, high = x.quartiles()
        peak = f"{x.peak / 1048576:.1f} MiB" if x.argv[0] in programs else ""
        print(f"| {x.name} | {x.median() * 1e3:.2f} ms | {low * 1e3:.2f} to {high * 1e3:.2f} ms "
              f"| {min(x.times) * 1e3:.2f} ms | {statistics.median(x.cpu) * 1e3:.2f} ms | {peak} |")
print()

met_all = True


def goal(text, value, limit, unit=" x", check=None):
    global met_all
    met = value <= limit
    met_all = met_all and met
    within = "" if check is None else f"; within a round {check:.2f}{unit}"
    print(f"- {'met' if met else 'NOT met'}: {text}: {value:.2f}{unit} (at most {limit}{unit}{within})")


def timed_goal(text, a, b, limit):
    goal(text, ratio(a, b), limit, check=paired(a, b))


def ratio(a, b):
    return c[a].median() / c[b].median()


def paired(a, b):
    """The median of the ratios within a round, the two runs close in time: a
    check on the ratio of medians when the machine's load changes."""
    return statistics.median(x / y for x, y in zip(c[a].times, c[b].times))


print("Goals (ratios of medians):")
timed_goal("large, pairs at the end, renewal / cat of the file", "large-end", "cat large-end", 1.5)
timed_goal("large, nothing changed / cat of the file", "large-end unchanged", "cat large-end.after", 1.5)
timed_goal("large, pairs at the start, renewal / dd conv=fdatasync of the new content",
           "large-start", "durable large-start", 0.8)
timed_goal(f"many, renewal / dd conv=fdatasync of the {os.path.getsize('many.after') / 1e6:.0f} MB it writes",
           "many", "durable many", 1.0)
timed_goal("typical, renewal / dd conv=notrunc,fdatasync of the new content in place",
           "typical", "in place typical", 0.8)
timed_goal("typical, nothing changed / cat of the file", "typical unchanged", "cat typical.after", 1.25)
worst = max((x for x in c.values() if x.argv[0] == program), key=lambda x: x.peak - x.size)
goal(f"peak memory over the file's size, worst case ({worst.name}, {worst.size / 1048576:.1f} MiB file)",
     (worst.peak - worst.size) / 1048576, 4, " MiB")
timed_goal("ten times the data (6 to 60 MB), pairs at the end: times the time", "large-end", "small-end", 11)
timed_goal("ten times the data (6 to 60 MB), pairs at the start: times the time", "large-start", "small-start", 11)
print()

if old_program is not None:
    print(f"Against the old program ({old_program}), new / old:")
    print()
    print("| workload | median new | median old | new / old | within a round | "
          "peak new | peak old | new / old | |")
    print("|---|---|---|---|---|---|---|---|---|")
    for names, _, _ in groups:
        for name in names:
            if c[name].argv[0] != program:
                continue
            new, old = c[name], c[f"{name} (old)"]
            slower = ratio(name, f"{name} (old)") > 1.05
            met_all = met_all and not slower
            # The ratio within a round is the check when the load changed.
            flag = "SLOWER by more than 5%" if slower else ""
            if slower and paired(name, f"{name} (old)") <= 1.05:
                flag += " (not within a round: run it again)"
            print(f"| {new.name} | {new.median() * 1e3:.2f} ms | {old.median() * 1e3:.2f} ms "
                  f"| {ratio(name, f'{name} (old)'):.3f} | {paired(name, f'{name} (old)'):.3f} "
                  f"| {new.peak / 1048576:.1f} MiB | {old.peak / 1048576:.1f} MiB "
                  f"| {new.peak / old.peak:.3f} | {flag} |")
    print()
elapsed = time.monotonic() - began
busy_after = busy_seconds()
others = ((busy_after[0] - busy_before[0]) - (busy_after[1] - busy_before[1])) / elapsed
print(f"Measured in {elapsed:.0f} s, on {os.cpu_count()} cores; other work kept "
      f"{others:.2f} cores busy meanwhile.")
# The runs then waited for a core now and then, and the medians include
# those waits: the short runs' the most.
if others > 0.5:
    print("The machine was busy: run it again when it is quieter.")
sys.exit(0 if met_all else 1)
