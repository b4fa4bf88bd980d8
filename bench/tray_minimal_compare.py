#!/usr/bin/python3
# TALVO against the least a Qt program with a tray icon and a window does
# (talvo-bench-minimal-tray), side by side in one run on the test display's XEmbed tray:
#   start    spawn -> icon docked and the panel (the minimal program's window) shown, from the X
#            server's events; launches alternate between the two, median of N each
#   idle     both running at once for S seconds, TALVO's panel closed: wake-ups per second
#            (voluntary context switches of all threads), CPU, resident memory
#
#   cmake --build build --target talvo talvo-dev-service talvo-bench-minimal-tray talvo-bench-start-watch
#   scripts/with-desktop-env bench/tray_minimal_compare.py [--launches 10] [--seconds 30]
#   ... --earlier PATH   another build's talvo launched in turn with the two (a before/after)
# Targets: start at most 1.5x the minimal program, at most 1 wake-up a second idle.
import argparse, os, statistics, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import talvo_program as tp  # noqa: E402


def memory_map(pid):
    # Resident memory by what holds it: the largest mappings (libraries, heap, anonymous).
    totals, name = {}, None
    for line in open(f"/proc/{pid}/smaps"):
        parts = line.split()
        if "-" in parts[0] and len(parts) >= 5:
            name = os.path.basename(parts[5]) if len(parts) > 5 else "[anonymous]"
        elif parts[0] == "Rss:":
            totals[name] = totals.get(name, 0) + int(parts[1])
    return sorted(totals.items(), key=lambda kv: -kv[1])


def thread_switches(pid):
    # Voluntary context switches per thread, keyed by thread id and name.
    counts = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            name = open(f"/proc/{pid}/task/{task}/comm").read().strip()
            for line in open(f"/proc/{pid}/task/{task}/status"):
                if line.startswith("voluntary_ctxt_switches"):
                    counts[(task, name)] = int(line.split()[1])
        except OSError:  # the thread ended meanwhile
            pass
    return counts


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(tp.ROOT, "build"))
    parser.add_argument("--launches", type=int, default=10)
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--earlier")
    args = parser.parse_args()
    minimal = os.path.join(args.build, "bench", "talvo-bench-minimal-tray")
    work = tempfile.mkdtemp(prefix="talvo-bench-")
    service, env = tp.start_service(args.build, work)
    try:
        talvo, least, earlier = [], [], []
        for _ in range(args.launches):
            talvo += tp.startup(args.build, env, 1)
            least += tp.startup(args.build, env, 1, minimal)
            if args.earlier:
                earlier += tp.startup(args.build, env, 1, args.earlier)
        t, m = statistics.median(talvo), statistics.median(least)
        print(f"start to icon + panel shown: talvo median {t:.0f} ms ({min(talvo):.0f}-{max(talvo):.0f}), "
              f"minimal {m:.0f} ms ({min(least):.0f}-{max(least):.0f}), ratio {t / m:.2f}x (target <= 1.5x)")
        if earlier:
            e = statistics.median(earlier)
            print(f"  the earlier build: median {e:.0f} ms ({min(earlier):.0f}-{max(earlier):.0f}), ratio {e / m:.2f}x")

        program = tp.Program(args.build, env)
        other = tp.Program(args.build, env, minimal)
        if not tp.driver("wait-text", str(program.pid), "Начать запись", "20"):
            sys.exit("the panel did not open")
        tp.driver("click-tray", str(program.pid), "left")
        time.sleep(3)
        before = thread_switches(program.pid)
        cpu, wake = tp.measure([program.pid, other.pid], args.seconds)
        after = thread_switches(program.pid)
        for name, pid in (("talvo", program.pid), ("minimal", other.pid)):
            print(f"idle {args.seconds} s ({name}): {wake[pid]:.2f} wake-ups/s, CPU {cpu[pid]:.3f} % of one core, "
                  f"RSS {tp.rss_mib(pid):.1f} MiB")
        # A worker thread that ends meanwhile takes its count with it, so the whole-process figure
        # above can even go down; the per-thread sum counts each thread up to its last reading.
        rates = {key: (after[key] - before.get(key, 0)) / args.seconds for key in after}
        print(f"talvo's wake-ups by thread: {sum(rates.values()):.2f} /s in all")
        for key in sorted(rates, key=lambda k: -rates[k]):
            if rates[key] > 0:
                print(f"  {rates[key]:6.2f}  {key[1]} ({key[0]})")
        print("talvo's resident memory by mapping (top 12, MiB):")
        for name, kib in memory_map(program.pid)[:12]:
            print(f"  {kib / 1024:6.1f}  {name}")
        program.quit()
        other.quit()
    finally:
        service.terminate()
        service.wait()


if __name__ == "__main__":
    main()
