#!/usr/bin/python3
# The whole program on the test display, measured from outside (/proc), side by side in one run:
#   start-up   spawn -> tray icon docked and the panel window shown (median of N launches), and
#              beside it spawn -> the window "TALVO" shown on a display of its own with no tray
#   idle       60 s with the panel closed: CPU % of one core, wake-ups per second (voluntary
#              context switches of all threads), resident memory
#   recording  60 s with the panel closed and 60 s with it open, tones playing into both sources:
#              the program's CPU next to talvo-capture recording the same sources at the same time
#
#   scripts/with-desktop-env bench/talvo_program.py [--build build] [--launches 10] [--seconds 60]
# Needs the talvo, talvo-capture, talvo-dev-service and talvo-bench-start-watch targets built.
import argparse, os, signal, statistics, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DRIVER = os.path.join(ROOT, "app", "tests", "e2e_driver.py")
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime + stime


def switches(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        for line in open(f"/proc/{pid}/task/{task}/status"):
            if line.startswith("voluntary_ctxt_switches"):
                total += int(line.split()[1])
    return total


def rss_mib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS"):
            return int(line.split()[1]) / 1024


def driver(*args):
    return subprocess.run(["/usr/bin/python3", DRIVER, *args], capture_output=True, text=True).returncode == 0


class Program:
    def __init__(self, build, env, path=None):
        self.process = subprocess.Popen([path or os.path.join(build, "app", "talvo")], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pid = self.process.pid

    def quit(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def startup(build, env, launches, path=None):
    """Spawn -> tray icon docked and panel (or window) shown, in ms, as the X server's events tell
    (talvo-bench-start-watch): nothing polls the display meanwhile."""
    times = []
    for _ in range(launches):
        watch = subprocess.Popen([os.path.join(build, "bench", "talvo-bench-start-watch")], env=env,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if watch.stdout.readline().strip() != "ready":
            sys.exit("talvo-bench-start-watch did not start")
        start = time.monotonic()
        program = Program(build, env, path)
        watch.stdin.write(f"{program.pid} {start}\n")
        watch.stdin.flush()
        answer = watch.stdout.readline().split()
        if watch.wait() == 0 and len(answer) == 4:
            times.append(max(float(answer[1]), float(answer[3])))
        program.quit()
    return times


def startup_without_tray(build, env, launches):
    # A display of its own with a window manager and no tray, as GNOME without extensions.
    number = 170 + os.getpid() % 50
    while os.path.exists(f"/tmp/.X11-unix/X{number}"):
        number += 1
    xvfb = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while not os.path.exists(f"/tmp/.X11-unix/X{number}"):
        time.sleep(0.05)
    env = dict(env, DISPLAY=f":{number}")
    wm = subprocess.Popen(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    times = []
    try:
        for _ in range(launches):
            start = time.monotonic()
            program = Program(build, env)
            while time.monotonic() - start < 20:
                found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(program.pid), "--name",
                                        "^TALVO$"], capture_output=True, text=True, env=env).stdout.split()
                if found:
                    times.append((time.monotonic() - start) * 1000)
                    break
                time.sleep(0.005)
            program.quit()
    finally:
        wm.terminate()
        wm.wait()
        xvfb.terminate()
        xvfb.wait()
    return times


def measure(pids, seconds):
    cpu0 = {p: cpu_seconds(p) for p in pids}
    sw0 = {p: switches(p) for p in pids}
    time.sleep(seconds)
    return ({p: (cpu_seconds(p) - cpu0[p]) / seconds * 100 for p in pids},
            {p: (switches(p) - sw0[p]) / seconds for p in pids})


def start_service(build, work):
    """The fake service on a free port, and the program's environment against it in `work`."""
    service = subprocess.Popen([os.path.join(build, "testing", "tools", "talvo-dev-service"), "--port", "0",
                                "--dir", os.path.join(work, "service")], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    origin = ca = None
    for line in service.stdout:
        if line.startswith("origin: "):
            origin = line.split(": ", 1)[1].strip()
        if line.startswith("ca-file: "):
            ca = line.split(": ", 1)[1].strip()
            break
    env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"), XDG_CONFIG_HOME=os.path.join(work, "config"),
               TALVO_SERVICE_ORIGIN=origin, TALVO_CA_FILE=ca, TALVO_TELEGRAM_HOST="t.me", QT_QPA_PLATFORM="xcb")
    return service, env


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--launches", type=int, default=10)
    parser.add_argument("--seconds", type=int, default=60)
    # The release tree (bundled libraries, e.g. an unpacked archive) beside the build's program,
    # launches interleaved; then nothing else is measured.
    parser.add_argument("--release-tree")
    parser.add_argument("--startup-only", action="store_true")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="talvo-bench-")
    service, env = start_service(args.build, work)
    env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
    players = []
    try:
        if args.release_tree:
            system, bundled = [], []
            for _ in range(args.launches):
                system += startup(args.build, env, 1)
                bundled += startup(args.build, env, 1, os.path.join(args.release_tree, "bin", "talvo"))
            for name, times in (("system libraries", system), ("release tree", bundled)):
                print(f"{name}: start-up to tray icon + panel shown: median {statistics.median(times):.0f} ms "
                      f"(min {min(times):.0f}, max {max(times):.0f}, n={len(times)})")
            return
        times = startup(args.build, env, args.launches)
        print(f"start-up to tray icon + panel shown: median {statistics.median(times):.0f} ms "
              f"(min {min(times):.0f}, max {max(times):.0f}, n={len(times)})")
        times = startup_without_tray(args.build, env, args.launches)
        print(f"start-up to the window shown, no tray: median {statistics.median(times):.0f} ms "
              f"(min {min(times):.0f}, max {max(times):.0f}, n={len(times)})")
        if args.startup_only:
            return

        program = Program(args.build, env)
        if not driver("wait-text", str(program.pid), "Начать запись", "20"):
            sys.exit("the panel did not open")
        driver("click-tray", str(program.pid), "left")
        time.sleep(3)
        cpu, wake = measure([program.pid], args.seconds)
        print(f"idle, panel closed, {args.seconds} s: CPU {cpu[program.pid]:.3f} % of one core, "
              f"{wake[program.pid]:.1f} wake-ups/s, RSS {rss_mib(program.pid):.1f} MiB")

        for sink, freq in ((os.environ.get("TALVO_TEST_SPEAKERS_SINK", "speakers"), 440),
                           (os.environ.get("TALVO_TEST_MIC_FEED_SINK", "micfeed"), 1000)):
            tone = os.path.join(work, f"{freq}.wav")
            subprocess.run(["sox", "-q", "-n", "-r", "48000", "-c", "2", "-b", "16", tone, "synth",
                            str(3 * args.seconds + 30), "sine", str(freq), "gain", "-6"], check=True)
            players.append(subprocess.Popen(["paplay", "-d", sink, tone]))
        driver("click-tray", str(program.pid), "left")
        if not driver("press", str(program.pid), "Начать запись"):
            sys.exit("could not start recording")
        driver("wait-text", str(program.pid), "Остановить запись", "20")
        os.makedirs(os.path.join(work, "capture"), mode=0o700)
        capture = subprocess.Popen([os.path.join(args.build, "app", "tools", "talvo-capture"),
                                    str(2 * args.seconds + 20), os.path.join(work, "capture")],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(3)
        cpu, wake = measure([program.pid, capture.pid], args.seconds)
        print(f"recording, panel open, {args.seconds} s: talvo {cpu[program.pid]:.2f} %, "
              f"talvo-capture {cpu[capture.pid]:.2f} %, ratio {cpu[program.pid] / cpu[capture.pid]:.2f}, "
              f"RSS {rss_mib(program.pid):.1f} MiB")
        driver("click-tray", str(program.pid), "left")
        time.sleep(2)
        cpu, wake = measure([program.pid, capture.pid], args.seconds)
        print(f"recording, panel closed, {args.seconds} s: talvo {cpu[program.pid]:.2f} %, "
              f"talvo-capture {cpu[capture.pid]:.2f} %, ratio {cpu[program.pid] / cpu[capture.pid]:.2f}, "
              f"{wake[program.pid]:.0f} wake-ups/s")
        capture.send_signal(signal.SIGINT)
        program.quit()
        capture.wait(60)
    finally:
        for player in players:
            player.kill()
        service.stdin.write("quit\n")
        service.stdin.flush()
        service.wait(10)


if __name__ == "__main__":
    main()
