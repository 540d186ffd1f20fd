#!/usr/bin/env python3
"""Measures the updater: start-to-restart time against the simplest alternatives and the C floor, the retry
schedule and linger as really kept, peak memory, the checked hand-over's cost, and each Windows executable's
size and imports. The Windows executables run under Wine through scripts/wine.sh: the 64-bit one
everywhere, the 32-bit one where this machine runs 32-bit programs. Prints a table and writes docs/benchmarks.md. Run through
bench/run.sh, which installs the tools."""

import base64
import datetime
import hashlib
import json
import os
import platform
import re
import select
import shlex
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "bench"
NATIVE_UPDATER = Path(os.environ.get("QM_NATIVE_UPDATER", ROOT / "build/native/quillmoor-updater"))
WINDOWS_UPDATERS = {
    "x86": Path(os.environ.get("QM_WINDOWS_UPDATER", ROOT / "build/windows-x86/quillmoor-updater.exe")),
    "x64": Path(os.environ.get("QM_WINDOWS_X64_UPDATER", ROOT / "build/windows-x64/quillmoor-updater.exe")),
}
MINGW = {"x86": "i686-w64-mingw32", "x64": "x86_64-w64-mingw32"}
WINE_SCRIPT = ROOT / "scripts" / "wine.sh"
# Each executable's size before the C++ run-time's exception machinery came out of it (commit
# bb7f519), the figure the current one is set against.
SIZE_BEFORE = {"x86": 163328, "x64": 102400}

# What the numbers should show.
RESTART_RATIO_LIMIT = 1.5
FLOOR_RATIO_LIMIT = 1.1
SCHEDULE_TOLERANCE_MS = 20.0
WINDOWS_SIZE_LIMIT = 32 * 1024
PEAK_RSS_LIMIT_KIB = 2 * 1024

# Repetitions: enough for stable medians, few enough for a run of a few minutes.
NATIVE_RESTART_RUNS = 60
WINE_RESTART_RUNS = 25
SCHEDULE_RUNS = 3  # 8 s each
LINGER_RUNS = 4  # 3 s each
RSS_RUNS = 5
ATTEMPT_OFFSETS_S = [0, 2, 4, 6, 8]
LINGER_S = 3
# The application's hand-over under Wine: it exits this long after starting the updater, or never.
EXIT_AFTER_MS = [200, 5000]
HAND_OVER_RUNS = 5
GIVE_UP_RUNS = 3
EXIT_TO_START_LIMIT_S = 0.3
# The checked hand-over: one new copy of this size, handed over in turns unchecked and checked. One
# pass over the bytes means the check costs the digest's own time and nothing more.
CHECKED_SIZE_MIB = 100
CHECKED_RUNS = 7
CHECK_COST_LIMIT = 1.1
# The signed hand-over on the same copy: one verification of a 32-byte digest beyond the checked one.
SIGNED_KEYS = {"ECDSA P-256": ["-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"],
               "RSA-3072": ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:3072"]}
SIGNATURE_COST_LIMIT_MS = 5
# And on a small copy, many times: there the disk's spread is small beside a signature's cost.
SIGNED_SMALL_KIB = 64
SIGNED_SMALL_RUNS = 51
SIGNED_KIB_TEXT = f"{SIGNED_SMALL_KIB} KiB copy, where the disk spreads by a fraction of a millisecond"
# The last updater that knew nothing of the application's exit: it waited out every 2 s pause.
BEFORE_EARLY_RESTART = "f97a575"


def wine_env(arch):
    """A prefix of each architecture's own, as the tests keep."""
    return {**os.environ, "WINEPREFIX": str(WORK / f"wine-prefix-{arch}"), "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml="}


def wine_command(arch, *arguments):
    return ["bash", str(WINE_SCRIPT), arch, *arguments]


def wine_architectures():
    """The Windows builds to time: those built, of those that Wine runs on this machine."""
    return [arch for arch, exe in WINDOWS_UPDATERS.items()
            if exe.exists() and subprocess.run(["bash", str(WINE_SCRIPT), "runs", arch]).returncode == 0]


def run(command, **options):
    return subprocess.run(command, check=True, text=True, capture_output=True, **options)


def say(text):
    print(text, flush=True)


def fresh_folder(name):
    folder = WORK / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def build_helpers(architectures):
    """The restarted program for both platforms (for each Windows architecture timed), the C floor and
    its Windows counterpart, and the native updater as the release links it (fully static), to see
    what its linking costs in time and memory."""
    helpers = fresh_folder("helpers")
    source = ROOT / "bench" / "started.cpp"
    run(["g++", "-O2", "-o", helpers / "started", source])
    run(["gcc", "-O2", "-o", helpers / "floor", ROOT / "bench" / "floor.c"])
    checked = [ROOT / "bench" / "checked.c", "-I", ROOT / "include"]
    run(["gcc", "-O2", "-o", helpers / "checked", *checked, ROOT / "handover" / "handover_posix.c",
         ROOT / "handover" / "checked.c", ROOT / "handover" / "crypto_posix.c", "-lcrypto"])
    for arch in architectures:
        compiler = f"{MINGW[arch]}-g++"
        run([compiler, "-O2", "-static", "-s", "-o", helpers / f"started-{arch}.exe", source])
        run([compiler, "-O2", "-static", "-s", "-mwindows", "-DLINK_USER32", "-o",
             helpers / f"started-gui-{arch}.exe", source])
        run([compiler, "-O2", "-static", "-s", "-DHAND_OVER", "-o", helpers / f"hand-over-{arch}.exe", source])
        run([compiler, "-O2", "-static", "-s", "-mwindows", "-municode", "-o", helpers / f"minimal-road-{arch}.exe",
             ROOT / "bench" / "minimal_road.cpp"])
        run([f"{MINGW[arch]}-gcc", "-O2", "-static", "-s", "-o", helpers / f"checked-{arch}.exe", *checked,
             ROOT / "handover" / "handover_win32.c", ROOT / "handover" / "checked.c",
             ROOT / "handover" / "crypto_win32.c", ROOT / "handover" / "publisher_win32.c",
             "-lbcrypt", "-lcrypt32", "-lwintrust"])
    variants = {"as built": NATIVE_UPDATER}
    # The project's own build, configured as scripts/release.sh configures it.
    for label, name, option in [("fully static (release)", "static", "-DQUILLMOOR_STATIC=ON")]:
        build = WORK / f"updater-{name}"
        configure = subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                                    "-DBUILD_TESTING=OFF", option],
                                   text=True, capture_output=True)
        result = configure if configure.returncode else subprocess.run(
            ["cmake", "--build", build, "--target", "quillmoor-updater"], text=True, capture_output=True)
        if result.returncode == 0:
            variants[label] = build / "quillmoor-updater"
        else:
            say(f"(could not build the {label} variant: {(result.stdout + result.stderr).strip()[-300:]})")
    return helpers, variants


def hyperfine(folder, runs, commands, prepare, env=None):
    """Medians in ms of each named command, from hyperfine's JSON."""
    export = folder / "hyperfine.json"
    arguments = ["hyperfine", "--warmup", "3", "--runs", str(runs), "--prepare", prepare,
                 "--export-json", str(export), "--style", "none"]
    for name, command in commands:
        arguments += ["-n", name, command]
    run(arguments, cwd=folder, env=env)
    results = json.loads(export.read_text())["results"]
    return {r["command"]: {"median": r["median"] * 1000, "min": r["min"] * 1000, "max": r["max"] * 1000,
                           "stddev": (r["stddev"] or 0) * 1000} for r in results}


def measure_native_restart(helpers, variants):
    """Updater start to restarted program running, against the C floor (a program that only renames
    and starts) and `mv -f X~ X && ./X &`. The restarted program opens a FIFO the moment it runs;
    the timed shell waits on its other end."""
    folder = fresh_folder("native-restart")
    shutil.copy(NATIVE_UPDATER, folder / "quillmoor-updater")
    shutil.copy(helpers / "floor", folder / "floor")
    shutil.copy(helpers / "started", folder / "X.new")
    os.mkfifo(folder / "started.fifo")
    commands = [
        ("updater", "./quillmoor-updater X~ & read r < started.fifo"),
        ("C floor", "./floor X~ & read r < started.fifo"),
        ("shell floor", "mv -f X~ X && ./X & read r < started.fifo"),
    ]
    if "fully static (release)" in variants:
        shutil.copy(variants["fully static (release)"], folder / "quillmoor-updater-static")
        commands.insert(1, ("release updater", "./quillmoor-updater-static X~ & read r < started.fifo"))
    results = hyperfine(folder, NATIVE_RESTART_RUNS, commands, prepare="cp X.new X~")
    time.sleep(LINGER_S + 0.5)  # let the lingering updaters end before anything else is timed
    return results


def measure_wine_restart(helpers, arch):
    """The same under Wine: the Windows updater of `arch` restarting a Windows program of the same
    architecture, against a bare rename-and-start program and against starting that program under
    Wine directly, all in one run. One wineserver serves all runs, as it would a desktop."""
    folder = fresh_folder(f"wine-restart-{arch}")
    env = wine_env(arch)
    shutil.copy(WINDOWS_UPDATERS[arch], folder / "quillmoor-updater.exe")
    shutil.copy(helpers / f"started-{arch}.exe", folder / "X.exe.new")
    shutil.copy(helpers / f"started-gui-{arch}.exe", folder / "gui.exe")
    shutil.copy(helpers / f"minimal-road-{arch}.exe", folder / "minimal-road.exe")
    os.mkfifo(folder / "started.fifo")
    if not (Path(env["WINEPREFIX"]) / "system.reg").exists():
        subprocess.run(wine_command(arch, "wineboot", "--init"), env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
    run(["wineserver", "-w"], env=env)
    # The server forks into the background; it must not hold a pipe of ours open.
    subprocess.run(["wineserver", "-p"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True)
    wine = " ".join(shlex.quote(part) for part in wine_command(arch))
    try:
        return hyperfine(folder, WINE_RESTART_RUNS, [
            ("updater under Wine", f"{wine} quillmoor-updater.exe X.exe~ & read r < started.fifo"),
            ("program under Wine", f"{wine} X.exe & read r < started.fifo"),
            ("minimal road under Wine", f"{wine} minimal-road.exe X.exe~ & read r < started.fifo"),
            ("GUI program under Wine", f"{wine} gui.exe & read r < started.fifo"),
            ("updater alone under Wine", f"{wine} quillmoor-updater.exe"),
        ], prepare="cp X.exe.new X.exe~", env=env)
    finally:
        time.sleep(LINGER_S + 0.5)
        subprocess.run(["wineserver", "-k"], env=env)


def build_before_early_restart(arch):
    """The updater of `arch` as it was before it waited on the application's exit, built from that commit."""
    source, build = WORK / "before-source", WORK / f"before-{arch}"
    if not (source / "CMakeLists.txt").exists():
        source.mkdir(parents=True, exist_ok=True)
        archive = subprocess.run(["git", "-C", ROOT, "archive", "--format=tar", BEFORE_EARLY_RESTART],
                                 check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", source], input=archive, check=True)
    toolchain = source / "cmake" / f"mingw-w64-{'i686' if arch == 'x86' else 'x86_64'}.cmake"
    run(["cmake", "-S", source, "-B", build, f"-DCMAKE_TOOLCHAIN_FILE={toolchain}", "-DCMAKE_BUILD_TYPE=MinSizeRel",
         "-DBUILD_TESTING=OFF"])
    run(["cmake", "--build", build, "--target", "quillmoor-updater"])
    return build / "quillmoor-updater.exe"


def measure_hand_over(helpers, arch):
    """The road as the application walks it, under Wine with a virtual screen: the running program starts
    the updater on its own pending copy and exits EXIT_AFTER_MS later (or never). Times, on the host's
    clock, from its exit to the new copy's start, and from the hand-over to the failed-update box when it
    never exits, for the updater before it waited on the application's exit and for today's."""
    folder = fresh_folder(f"hand-over-{arch}")
    os.mkfifo(folder / "started.fifo")
    screen = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    env = {**wine_env(arch), "WINEPREFIX": str(WORK / f"wine-prefix-{arch}-screen"),
           "DISPLAY": ":" + screen.stdout.readline().strip()}
    updaters = {"before": build_before_early_restart(arch), "after": WINDOWS_UPDATERS[arch]}
    results = {}
    try:
        subprocess.run(wine_command(arch, "wineboot", "--init"), env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)

        def hand_over(exit_after_ms):
            for name in ("X.exe", "X.exe~"):
                shutil.copy(helpers / f"hand-over-{arch}.exe", folder / name)
            for name in ("exit.txt", "box.txt"):
                (folder / name).unlink(missing_ok=True)
            app = subprocess.Popen(wine_command(arch, "X.exe", "--hand-over", "quillmoor-updater.exe",
                                                str(exit_after_ms)),
                                   cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return app

        for label, updater in updaters.items():
            shutil.copy(updater, folder / "quillmoor-updater.exe")
            for exit_after_ms in EXIT_AFTER_MS:
                figures = []
                for _ in range(HAND_OVER_RUNS):
                    reader = os.open(folder / "started.fifo", os.O_RDONLY | os.O_NONBLOCK)
                    app = hand_over(exit_after_ms)
                    # The new copy opens the FIFO as its first act; the reader is there before it can come.
                    ready, _, _ = select.select([reader], [], [], 30)
                    started = time.time()
                    os.close(reader)
                    if not ready:
                        sys.exit(f"{label} updater, {arch}: no new copy within 30 s (see {folder})")
                    app.wait(timeout=30)
                    _, exited = (int(ms) / 1000 for ms in (folder / "exit.txt").read_text().split())
                    figures.append(started - exited)
                    time.sleep(LINGER_S + 0.5)  # the updater lingers, then ends
                results[(label, exit_after_ms)] = figures
            give_ups = []
            for _ in range(GIVE_UP_RUNS):
                hand_over(-1).wait(timeout=40)
                handed, box = (int(ms) / 1000 for ms in (folder / "box.txt").read_text().split())
                give_ups.append(box - handed)
            results[(label, "never")] = give_ups
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        screen.terminate()
        screen.wait()
    return results


def measure_checked(helpers, architectures):
    """The hand-over of one large new copy, unchecked and checked, staged in the same folder, and the
    SHA-256 digest alone over the same bytes in memory: natively and under Wine. Medians in ms, from
    bench/checked.c, which also plays the updater that each hand-over starts."""
    folder = fresh_folder("checked")
    keys = [(folder / f"key{number}.pem", folder / f"key{number}.pub") for number in range(len(SIGNED_KEYS))]
    # A key pair of each kind, made here as a publisher would make one.
    for (key, public), options in zip(keys, SIGNED_KEYS.values()):
        run(["openssl", "genpkey", *options, "-out", key])
        run(["openssl", "pkey", "-in", key, "-pubout", "-out", public])

    def new_copy(name, size):
        """A new copy of `size` bytes, its digest, and the arguments that name its signature by each key."""
        content = os.urandom(size)
        (folder / name).write_bytes(content)
        arguments = []
        for number, (key, public) in enumerate(keys):
            signed = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, folder / name], check=True,
                                    capture_output=True).stdout
            (folder / f"{name}{number}.sig").write_text(base64.b64encode(signed).decode())
            arguments += [f"{name}{number}.sig", public.name]
        return hashlib.sha256(content).hexdigest(), arguments

    large, large_signing = new_copy("new", CHECKED_SIZE_MIB << 20)
    small, small_signing = new_copy("small", SIGNED_SMALL_KIB << 10)
    roads = [("native", None)] + [(f"{arch} under Wine", arch) for arch in architectures]
    results = {}
    for name, arch in roads:
        command, env = [str(helpers / "checked")], None
        if arch:
            shutil.copy(helpers / f"checked-{arch}.exe", folder / "checked.exe")
            command, env = wine_command(arch, "checked.exe"), wine_env(arch)
            if not (Path(env["WINEPREFIX"]) / "system.reg").exists():
                subprocess.run(wine_command(arch, "wineboot", "--init"), env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, check=True)
        out = run([*command, "new", "Tool", large, str(CHECKED_RUNS), *large_signing], cwd=folder, env=env).stdout
        figures = [float(figure) for figure in out.split()[-3 - 2 * len(SIGNED_KEYS):]]
        out = run([*command, "small", "Tool", small, str(SIGNED_SMALL_RUNS), *small_signing], cwd=folder,
                  env=env).stdout
        results[name] = figures + [float(figure) for figure in out.split()[-len(SIGNED_KEYS):]]
    return results


STRACE_LINE = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+(?:<\.\.\. )?(\w+)[( ](.*)$")
DURATION = re.compile(r"<(\d+\.\d+)>$")


def strace(folder, command, syscalls):
    """(pid, entry time, syscall, rest, duration) for each traced call, a call interrupted by
    another process's output joined back into one; seccomp filtering keeps strace's own overhead
    out of the untraced calls."""
    trace = folder / "trace.txt"
    subprocess.run(["strace", "-f", "--seccomp-bpf", "-ttt", "-T", "-o", str(trace), "-e",
                    "trace=" + ",".join(syscalls), *command],
                   cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    calls, unfinished = [], {}
    for line in trace.read_text().splitlines():
        match = STRACE_LINE.match(line)
        if not match:
            continue
        pid, stamp, name, rest = int(match.group(1)), float(match.group(2)), match.group(3), match.group(4)
        duration = DURATION.search(line)
        if rest.endswith("<unfinished ...>"):
            unfinished[(pid, name)] = (stamp, rest)
            continue
        if line.split(None, 2)[2].startswith("<..."):
            stamp, rest = unfinished.pop((pid, name), (stamp, rest))
        calls.append((pid, stamp, name, rest, float(duration.group(1)) if duration else 0.0))
    return calls
def measure_schedule():
    """Offsets of the five attempts and of the notice from the updater's start (its execve), with
    a target that cannot be replaced: a directory."""
    folder = fresh_folder("schedule")
    shutil.copy(NATIVE_UPDATER, folder / "quillmoor-updater")
    (folder / "X").mkdir()
    (folder / "X~").write_text("new copy\n")
    runs = []
    for _ in range(SCHEDULE_RUNS):
        calls = strace(folder, ["./quillmoor-updater", "X~"], ["execve", "rename", "renameat", "renameat2", "write"])
        start = next(stamp for _, stamp, name, _, _ in calls if name == "execve")
        attempts = [stamp - start for _, stamp, name, _, _ in calls if name.startswith("rename")]
        notice = [stamp - start for _, stamp, name, rest, _ in calls if name == "write" and rest.startswith("2,")]
        runs.append((attempts, notice[0] if notice else None))
    return runs


def measure_linger(helpers):
    """From the end of the launch (the spawn has returned) to the updater's exit; and how long the
    launch itself took, under strace."""
    folder = fresh_folder("linger")
    shutil.copy(NATIVE_UPDATER, folder / "quillmoor-updater")
    lingers = []
    for _ in range(LINGER_RUNS):
        shutil.copy(helpers / "started", folder / "X~")
        calls = strace(folder, ["./quillmoor-updater", "X~"], ["execve", "clone", "clone3", "vfork", "exit_group"])
        updater, start = next((pid, stamp) for pid, stamp, name, _, _ in calls if name == "execve")
        spawn, took = next((stamp, duration) for pid, stamp, name, _, duration in calls
                           if pid == updater and name in ("clone", "clone3", "vfork"))
        end = next(stamp for pid, stamp, name, _, _ in calls if pid == updater and name == "exit_group")
        lingers.append((end - (spawn + took), took))
    return lingers


def peak_rss_kib(command, folder):
    report = folder / "time.txt"
    subprocess.run(["/usr/bin/time", "-v", "-o", str(report), *command], cwd=folder,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", report.read_text()).group(1))


def shared_libraries(binary):
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", run(["readelf", "-d", binary]).stdout)
    return ", ".join(needed) if needed else "none (static)"


def measure_memory(helpers, variants):
    """Peak resident memory of each linking of the native program: on a missing file (the notice)
    and on the happy path (rename, launch, linger)."""
    folder = fresh_folder("memory")
    rows = []
    for label, binary in variants.items():
        shutil.copy(binary, folder / "quillmoor-updater")
        missing = [peak_rss_kib(["./quillmoor-updater", "missing~"], folder) for _ in range(RSS_RUNS)]
        happy = []
        for _ in range(2):
            shutil.copy(helpers / "started", folder / "X~")
            happy.append(peak_rss_kib(["./quillmoor-updater", "X~"], folder))
        rows.append((label, binary.stat().st_size, statistics.median(missing), statistics.median(happy),
                     shared_libraries(binary)))
    return rows


def windows_executable(arch):
    """Size as built and once stripped again (to be sure), and the import list."""
    exe = WINDOWS_UPDATERS[arch]
    stripped = WORK / "helpers" / f"quillmoor-updater-stripped-{arch}.exe"
    run([f"{MINGW[arch]}-strip", "-o", stripped, exe])
    dump = run([f"{MINGW[arch]}-objdump", "-p", exe]).stdout
    imports = {}
    current = None
    for line in dump.splitlines():
        dll = re.match(r"\s*DLL Name: (\S+)", line)
        if dll:
            current = dll.group(1)
            imports[current] = []
            continue
        function = re.match(r"\s+[0-9a-f]+\s+(\d+)\s+(\S+)$", line)
        if current and function:
            imports[current].append(function.group(2))
        elif current and not line.strip():
            current = None if imports[current] else current
    subsystem = re.search(r"Subsystem\s+\S+\s+\((.*)\)", dump)
    return {"size": exe.stat().st_size, "stripped": stripped.stat().st_size, "imports": imports,
            "subsystem": subsystem.group(1) if subsystem else "?"}


def machine(architectures):
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), platform.processor())
    memory_kib = int(re.search(r"MemTotal:\s+(\d+)", Path("/proc/meminfo").read_text()).group(1))
    release = dict(line.split("=", 1) for line in Path("/etc/os-release").read_text().splitlines() if "=" in line)
    versions = {}
    wine = wine_command(architectures[-1], "--version") if architectures else ["wine", "--version"]
    for tool, command in [("hyperfine", ["hyperfine", "--version"]), ("strace", ["strace", "-V"]),
                          ("wine", wine), ("g++", ["g++", "--version"])]:
        try:
            versions[tool] = run(command).stdout.splitlines()[0]
        except (OSError, subprocess.CalledProcessError):
            versions[tool] = "?"
    filesystem = run(["df", "--output=fstype", str(WORK)]).stdout.split()[-1]
    return {"cpu": cpu, "cores": os.cpu_count(), "memory": f"{memory_kib / 1024 / 1024:.0f} GiB",
            "kernel": platform.release(), "system": release.get("PRETTY_NAME", "?").strip('"'),
            "filesystem": filesystem, "versions": versions}


TARGETS = []


def verdict(ok, what=None):
    if what:
        TARGETS.append((what, ok))
    return "met" if ok else "**missed**"


def write_report(info, native, wine, hand_over, schedule, lingers, memory, windows, checked):
    lines = []
    add = lines.append
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    add("# Benchmarks")
    add("")
    add(f"Measured by `bash bench/run.sh` on {now}. Medians over repeated runs unless said otherwise.")
    add("")
    add(f"- Machine: {info['cpu']}, {info['cores']} cores, {info['memory']} memory; {info['system']}, "
        f"Linux {info['kernel']}; work folder on {info['filesystem']}.")
    add("- Tools: " + "; ".join(f"{k}: {v}" for k, v in info["versions"].items()) + ".")
    add("")

    add("## Start to restart (happy path)")
    add("")
    add("From the start of the command until the restarted program runs: the program opens a FIFO as "
        "its first act, and the timed shell waits on the other end. hyperfine subtracts its own shell's "
        "start-up. Each command starts with a fresh pending copy `X~` (hyperfine's `--prepare`).")
    add("")
    add("| Command | Median | Min | Max | σ |")
    add("|---|---:|---:|---:|---:|")
    labels = {"updater": "native updater: `./quillmoor-updater X~`",
              "release updater": "native updater as released (fully static): `./quillmoor-updater-static X~`",
              "C floor": "C floor: `./floor X~`, only a rename and a start (`bench/floor.c`)",
              "shell floor": "shell floor: `mv -f X~ X && ./X &`",
              "updater under Wine": "{arch} Windows updater under Wine: `wine.sh {arch} quillmoor-updater.exe X.exe~`",
              "minimal road under Wine": "{arch} bare rename and process start under Wine: `wine.sh {arch} "
                                         "minimal-road.exe X.exe~` (`bench/minimal_road.cpp`)",
              "program under Wine": "{arch} Wine's floor: `wine.sh {arch} X.exe`",
              "GUI program under Wine": "{arch} for comparison: `wine.sh {arch} gui.exe`, the same program as a GUI "
                                        "program that links user32 like the updater",
              "updater alone under Wine": "{arch} for comparison: `wine.sh {arch} quillmoor-updater.exe` with no "
                                          "argument, which ends at once (timed to its end, not to a FIFO)"}
    rows = [("", native)] + [(arch, results) for arch, results in wine.items()]
    for arch, results in rows:
        for name, r in results.items():
            add(f"| {labels[name].format(arch=arch)} | {r['median']:.2f} ms | {r['min']:.2f} ms | "
                f"{r['max']:.2f} ms | {r['stddev']:.2f} ms |")
    add("")
    native_ratio = native["updater"]["median"] / native["shell floor"]["median"]
    restart_target = f"native start to restart {native_ratio:.2f}x the shell floor (at most {RESTART_RATIO_LIMIT}x)"
    floor_ratio = native["updater"]["median"] / native["C floor"]["median"]
    floor_target = f"native start to restart {floor_ratio:.2f}x the C floor (at most {FLOOR_RATIO_LIMIT}x)"
    add(f"Native: {floor_ratio:.2f}x the C floor (target at most {FLOOR_RATIO_LIMIT}x): "
        f"{verdict(floor_ratio <= FLOOR_RATIO_LIMIT, floor_target)}; {native_ratio:.2f}x the shell floor "
        f"(target at most {RESTART_RATIO_LIMIT}x): {verdict(native_ratio <= RESTART_RATIO_LIMIT, restart_target)}.")
    if "release updater" in native:
        release_ratio = native["release updater"]["median"] / native["C floor"]["median"]
        release_target = (f"native start to restart as released (fully static) {release_ratio:.2f}x the C floor "
                          f"(at most {FLOOR_RATIO_LIMIT}x)")
        add(f"As released (fully static): {release_ratio:.2f}x the C floor (target at most {FLOOR_RATIO_LIMIT}x): "
            f"{verdict(release_ratio <= FLOOR_RATIO_LIMIT, release_target)}.")
    add("The C floor is what any updater must do on this road: one `rename` and one `posix_spawn`, in a C program "
        "linked to the C library like the updater as built. Under strace the updater makes the same system calls "
        "plus its existence test (`newfstatat` of `X~`), so what it adds is "
        "mostly user-space start-up: its C++ run-time and a larger program to map. Linked fully statically, it "
        "saves the dynamic loader's work and comes closest to the floor.")
    add("")
    for arch, results in wine.items():
        minimal_ratio = results["updater under Wine"]["median"] / results["minimal road under Wine"]["median"]
        wine_ratio = results["updater under Wine"]["median"] / results["program under Wine"]["median"]
        add(f"Under Wine, {arch}: the updater is {minimal_ratio:.2f}x the bare rename-and-start program built for "
            f"the same architecture, and {wine_ratio:.2f}x Wine's floor (ratios from the same run; no target "
            f"set).")
    if wine:
        add("The road under Wine holds two program starts, the updater's own and the restarted program's, "
            "against the floor's one; the bare rename-and-start program has both too, so the ratio to it is what "
            "the updater itself adds. The last two rows of each architecture show what a GUI program's start, "
            "and the updater's own start and end, cost alone. Each command goes through `scripts/wine.sh`, "
            "which picks the loader for its architecture; its own start is in every row alike. Wine's times "
            "spread widely on this machine; other work on it widens them further.")
    else:
        add("Not timed under Wine: no Windows executable that Wine runs here.")
    add("")

    add("## From the application's exit to the new copy's start (under Wine)")
    add("")
    add("What the user feels: how long no application is on screen. A Windows program plays the application: "
        "running as `X.exe`, it starts the updater on its own pending copy `X.exe~`, and exits the given time "
        "later, noting the moment; the new copy opens a FIFO as its first act, which the benchmark stamps. "
        "Both moments are on the host's clock. Each under Wine with a virtual screen, "
        f"{HAND_OVER_RUNS} runs, medians with the range; the updater as it was before it waited on the "
        f"application's exit (commit {BEFORE_EARLY_RESTART}, built by the benchmark) and as it is now. When "
        f"the application never exits: from the hand-over until the updater's failed-update box is seen on "
        f"screen (visible), {GIVE_UP_RUNS} runs.")
    add("")
    add("| Architecture | The application | Before | After |")
    add("|---|---|---:|---:|")

    def spread(figures):
        return f"{statistics.median(figures):.3f} s ({min(figures):.3f}–{max(figures):.3f})"

    for arch, results in hand_over.items():
        for exit_after_ms in EXIT_AFTER_MS:
            add(f"| {arch} | exits {exit_after_ms / 1000:g} s after the hand-over: to the new copy's start | "
                f"{spread(results[('before', exit_after_ms)])} | {spread(results[('after', exit_after_ms)])} |")
        add(f"| {arch} | never exits: from the hand-over to the box | {spread(results[('before', 'never')])} | "
            f"{spread(results[('after', 'never')])} |")
    add("")
    for arch, results in hand_over.items():
        verdicts = []
        for exit_after_ms in EXIT_AFTER_MS:
            after = statistics.median(results[("after", exit_after_ms)])
            what = (f"{arch} under Wine, the application exiting {exit_after_ms / 1000:g} s after the hand-over: "
                    f"the new copy starts {after:.3f} s after its exit (at most {EXIT_TO_START_LIMIT_S} s)")
            verdicts.append(f"exiting at {exit_after_ms / 1000:g} s, {after:.3f} s: "
                            f"{verdict(after <= EXIT_TO_START_LIMIT_S, what)}")
        before, after = (statistics.median(results[(label, "never")]) for label in ("before", "after"))
        what = (f"{arch} under Wine, an application that never exits: the box {after:.2f} s after the hand-over, "
                f"as before ({before:.2f} s), within 0.25 s")
        verdicts.append(f"never exiting, the box at {after:.2f} s as before ({before:.2f} s): "
                        f"{verdict(abs(after - before) <= 0.25, what)}")
        add(f"{arch}: " + "; ".join(verdicts) + ".")
    if hand_over:
        add("The updater holds the process that started it from its start, and each pause after a failed attempt "
            "ends when that process exits; one attempt follows at once, and if the file is still held, the "
            "rest of the pause and the schedule (attempts at 0, 2, 4, 6 and 8 s) go on as before.")
    else:
        add("Not measured: no Windows executable that Wine runs here.")
    add("")

    add("## Retry schedule and linger (native build)")
    add("")
    add(f"Attempts and notice: the target is a directory, so every rename fails; `strace -f --seccomp-bpf -ttt` "
        f"stamps each `rename` and the notice's `write` to standard error, as offsets from the updater's "
        f"`execve`. {len(schedule)} runs. Linger: from the return of the spawn that launches the restarted "
        f"program to the updater's `exit_group`, {len(lingers)} runs; the launch itself took "
        f"{statistics.median(took for _, took in lingers) * 1000:.2f} ms (median) under strace, which follows "
        f"the new process too.")
    add("")
    add("| Event | Scheduled | Median offset | Median deviation | Worst deviation |")
    add("|---|---:|---:|---:|---:|")
    worst_overall = 0.0
    for index, scheduled in enumerate(ATTEMPT_OFFSETS_S):
        offsets = [attempts[index] for attempts, _ in schedule if len(attempts) > index]
        deviations = [(o - scheduled) * 1000 for o in offsets]
        worst = max(deviations, key=abs)
        worst_overall = max(worst_overall, abs(worst))
        add(f"| attempt {index + 1} | {scheduled} s | {statistics.median(offsets):.4f} s | "
            f"{statistics.median(deviations):+.2f} ms | {worst:+.2f} ms |")
    notices = [notice for _, notice in schedule if notice is not None]
    notice_deviations = [(n - ATTEMPT_OFFSETS_S[-1]) * 1000 for n in notices]
    add(f"| notice | right after attempt 5 ({ATTEMPT_OFFSETS_S[-1]} s) | {statistics.median(notices):.4f} s | "
        f"{statistics.median(notice_deviations):+.2f} ms | {max(notice_deviations, key=abs):+.2f} ms |")
    linger_deviations = [(linger - LINGER_S) * 1000 for linger, _ in lingers]
    worst_overall = max(worst_overall, max(abs(d) for d in linger_deviations),
                        max(abs(d) for d in notice_deviations))
    add(f"| linger | {LINGER_S} s | {statistics.median(l for l, _ in lingers):.4f} s | "
        f"{statistics.median(linger_deviations):+.2f} ms | {max(linger_deviations, key=abs):+.2f} ms |")
    attempts_seen = {len(attempts) for attempts, _ in schedule}
    schedule_target = (f"five attempts, the notice and the linger at worst {worst_overall:.2f} ms off schedule "
                       f"(at most {SCHEDULE_TOLERANCE_MS:.0f} ms)")
    add("")
    add(f"Attempts per run: {', '.join(str(n) for n in sorted(attempts_seen))}. Every attempt, the notice and "
        f"the linger within {SCHEDULE_TOLERANCE_MS:.0f} ms of schedule (worst {worst_overall:.2f} ms): "
        f"{verdict(worst_overall <= SCHEDULE_TOLERANCE_MS and attempts_seen == {5}, schedule_target)}. Under strace the program runs "
        f"a little slower than alone, so these offsets are if anything late.")
    add("")

    add("## Peak resident memory (native program)")
    add("")
    add("`/usr/bin/time -v`, maximum resident set size. The fully static linking is the release build "
        "(`-DQUILLMOOR_STATIC=ON`, as `scripts/release.sh` configures it).")
    add("")
    add("| Linking | File size | Peak RSS, missing file | Peak RSS, happy path | Shared libraries |")
    add("|---|---:|---:|---:|---|")
    for label, size, missing, happy, kind in memory:
        add(f"| {label} | {size / 1024:.1f} KiB | {missing:.0f} KiB | {happy:.0f} KiB | {kind} |")
    add("")
    built = memory[0]
    built_peak = max(built[2], built[3])
    memory_target = f"native peak memory as built {built_peak:.0f} KiB (at most {PEAK_RSS_LIMIT_KIB} KiB)"
    add(f"As built ({built[4]}): {max(built[2], built[3]):.0f} KiB peak (target at most {PEAK_RSS_LIMIT_KIB} KiB): "
        f"{verdict(built_peak <= PEAK_RSS_LIMIT_KIB, memory_target)}.")
    for label, _, missing, happy, _ in memory[1:]:
        add(f"{label.capitalize()}: {max(missing, happy):.0f} KiB: {verdict(max(missing, happy) <= PEAK_RSS_LIMIT_KIB)}.")
    add("")

    add("## The checked hand-over")
    add("")
    add(f"`quillmoor_hand_over_file_checked` against `quillmoor_hand_over_file` on the same {CHECKED_SIZE_MIB} MiB "
        "new copy, staged each time in the same folder (written, flushed to disk and named `Tool~`) and handed to "
        "a program that ends at once; and the SHA-256 digest alone over the same bytes in memory, with the same "
        "cryptography (OpenSSL's libcrypto natively, the system's CNG under Wine). Medians of "
        f"{CHECKED_RUNS} runs of each, taken in turns (`bench/checked.c`). One pass over the bytes means the check "
        f"adds the digest's own time and nothing more: the goal is checked at most unchecked plus "
        f"{CHECK_COST_LIMIT} times the digest alone.")
    add("")
    add("| Where | Unchecked | Checked | Digest alone | The check's cost | Goal: checked at most |")
    add("|---|---:|---:|---:|---:|---:|")
    notes = []
    for name, (unchecked, with_check, alone, *_) in checked.items():
        limit = unchecked + CHECK_COST_LIMIT * alone
        add(f"| {name} | {unchecked:.0f} ms | {with_check:.0f} ms | {alone:.0f} ms | "
            f"{with_check - unchecked:+.0f} ms ({(with_check - unchecked) / alone:.2f}x the digest) | {limit:.0f} ms |")
        what = (f"checked hand-over {name}: {with_check:.0f} ms against unchecked {unchecked:.0f} ms plus "
                f"{CHECK_COST_LIMIT}x the digest's {alone:.0f} ms")
        notes.append(f"{name}: {verdict(with_check <= limit, what)}")
    add("")
    add("Goal: " + "; ".join(notes) + ". Under Wine the digest is Wine's own implementation of CNG, several "
        "times slower here than OpenSSL; what Windows's own costs is not measured here.")
    add("")
    add("## The signed hand-over")
    add("")
    add(f"`quillmoor_hand_over_file_signed` on the same copy, in the same turns, with a key pair of each kind made "
        "by `openssl` for the run and a signature as `openssl dgst -sha256 -sign` makes it. The signature is "
        "verified over the digest taken in the same pass that stages the bytes, so beyond the checked call it "
        f"costs one verification of 32 bytes: the goal is signed at most checked plus {SIGNATURE_COST_LIMIT_MS} ms. "
        "What a signature adds is the median, run by run, of each signed call against the checked call of the "
        f"same turn: on the {CHECKED_SIZE_MIB} MiB copy, and on a {SIGNED_SMALL_KIB} KiB copy in "
        f"{SIGNED_SMALL_RUNS} turns, where the disk's spread is small beside a signature's own cost.")
    add("")
    kinds = list(SIGNED_KEYS)
    add("| Where | Checked | " + " | ".join(f"Signed, {kind}" for kind in kinds) + " | " +
        " | ".join(f"Added, {kind}: {CHECKED_SIZE_MIB} MiB, {SIGNED_SMALL_KIB} KiB" for kind in kinds) + " |")
    add("|---|---:|" + "---:|" * (2 * len(kinds)))
    notes = []
    for name, (_, with_check, _, *rest) in checked.items():
        signed, added, added_small = rest[:len(kinds)], rest[len(kinds):2 * len(kinds)], rest[2 * len(kinds):]
        add(f"| {name} | {with_check:.0f} ms | " + " | ".join(f"{figure:.0f} ms" for figure in signed) + " | " +
            " | ".join(f"{large:+.1f} ms, {small:+.2f} ms" for large, small in zip(added, added_small)) + " |")
        for kind, large, small in zip(kinds, added, added_small):
            what = (f"signed hand-over {name}, {kind}: the signature adds {small:+.2f} ms ({large:+.1f} ms on the "
                    f"{CHECKED_SIZE_MIB} MiB copy)")
            notes.append(f"{name}, {kind}: {verdict(small <= SIGNATURE_COST_LIMIT_MS, what)}")
    add("")
    add("Goal: " + "; ".join(notes) + f". The goal is judged on the {SIGNED_KIB_TEXT}: on the {CHECKED_SIZE_MIB} MiB "
        "copy the difference of two turns spreads by about ten milliseconds either way, which is the disk's own "
        "spread in flushing the copy, not the signature's.")
    add("")

    add("## Windows executables")
    add("")
    add(f"Before: each size as it was while the C++ run-time's exception machinery was inside (commit "
        f"bb7f519). Target: at most {WINDOWS_SIZE_LIMIT // 1024} KiB ({WINDOWS_SIZE_LIMIT} bytes) each.")
    add("")
    for arch, exe in windows.items():
        size_target = (f"{arch} Windows executable {exe['stripped']} bytes stripped "
                       f"(at most {WINDOWS_SIZE_LIMIT} bytes; {SIZE_BEFORE[arch]} before)")
        add(f"### {arch}")
        add("")
        add(f"- Size before: {SIZE_BEFORE[arch]} bytes ({SIZE_BEFORE[arch] / 1024:.1f} KiB). As built: "
            f"{exe['size']} bytes ({exe['size'] / 1024:.1f} KiB); stripped again: {exe['stripped']} bytes: "
            f"{verdict(exe['stripped'] <= WINDOWS_SIZE_LIMIT, size_target)}.")
        add(f"- Subsystem: {exe['subsystem']}.")
        add(f"- Imports (`{MINGW[arch]}-objdump -p`):")
        for dll, functions in exe["imports"].items():
            add(f"  - {dll} ({len(functions)}): {', '.join(functions)}")
        add("")
    if not windows:
        add("Not measured: no Windows executable at " + " or ".join(str(p) for p in WINDOWS_UPDATERS.values()) + ".")
        add("")
    summary = ["## Targets", ""] + [f"- {'met' if ok else '**missed**'}: {what}" for what, ok in TARGETS]
    for arch in WINDOWS_UPDATERS:
        if arch not in windows:
            summary.append(f"- not measured: the {arch} Windows executable's size (no {arch} build)")
    at = lines.index("## Start to restart (happy path)")
    return "\n".join(lines[:at] + summary + [""] + lines[at:])


def main():
    if not NATIVE_UPDATER.exists():
        sys.exit(f"No native updater at {NATIVE_UPDATER}: build it first (cmake --preset native, cmake --build --preset native)")
    built = [arch for arch, exe in WINDOWS_UPDATERS.items() if exe.exists()]
    for arch, exe in WINDOWS_UPDATERS.items():
        if arch not in built:
            say(f"No {arch} Windows updater at {exe}: its Wine and executable measurements are skipped.")
    architectures = wine_architectures()
    for arch in built:
        if arch not in architectures:
            say(f"Wine does not run {arch} programs here: the {arch} executable is measured by its file only.")
    WORK.mkdir(parents=True, exist_ok=True)
    info = machine(architectures)
    say("Building the helpers and the extra linkings ...")
    helpers, variants = build_helpers(architectures)
    say(f"Start to restart, native ({NATIVE_RESTART_RUNS} runs each) ...")
    native = measure_native_restart(helpers, variants)
    wine = {}
    for arch in architectures:
        say(f"Start to restart, {arch} under Wine ({WINE_RESTART_RUNS} runs each) ...")
        wine[arch] = measure_wine_restart(helpers, arch)
    hand_over = {}
    for arch in architectures:
        say(f"From the application's exit to the new copy's start, {arch} under Wine (before and after) ...")
        hand_over[arch] = measure_hand_over(helpers, arch)
    say(f"Retry schedule ({SCHEDULE_RUNS} runs of 8 s) ...")
    schedule = measure_schedule()
    say(f"Linger ({LINGER_RUNS} runs of 3 s) ...")
    lingers = measure_linger(helpers)
    say("Peak memory ...")
    memory = measure_memory(helpers, variants)
    say(f"The checked and signed hand-overs ({CHECKED_RUNS} runs of {CHECKED_SIZE_MIB} MiB each way, natively and "
        "under Wine) ...")
    checked = measure_checked(helpers, architectures)
    windows = {arch: windows_executable(arch) for arch in built}
    report = write_report(info, native, wine, hand_over, schedule, lingers, memory, windows, checked)
    (ROOT / "docs").mkdir(exist_ok=True)
    (ROOT / "docs" / "benchmarks.md").write_text(report + "\n")
    say("")
    say(report)
    say("")
    say(f"Written to {ROOT / 'docs' / 'benchmarks.md'}")


if __name__ == "__main__":
    main()
