#!/usr/bin/env python3
"""Whole-upgrade benchmark on an emulated lab link: vxupgrade-cli against ncftpput -R -E.

Run through bench/upgrade.sh (as root), which installs the tools and builds the programs. Each
run gets a fresh pair of network namespaces, "client" and "instrument", joined by
vx_link_relay: every packet between them, on every connection, waits the one-way delay, and a
token-bucket qdisc on each side's device limits it to the link's rate. In the instrument
namespace vx500-sim answers the command port and vsftpd serves the same folder over FTP. In the
client namespace either vxupgrade-cli runs a whole upgrade of a release (checks, MID folders,
folder questions on the command channel, the system tree and the module tree), or ncftpput
uploads the release's two trees, MainFrame and Target/RKS5, in one process. Rounds are paired
(both tools in each round, the order alternating); every upload is compared byte for byte with
its source. The report gives medians and the paired ratios, wall and client CPU.
"""
import argparse
import ctypes
import filecmp
import os
import pwd
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (bench/bench.py)
import timeline  # noqa: E402  (bench/timeline.py)

TOOLS = ["vxupgrade", "verify", "ncftpput"]  # verify: the whole upgrade with --verify
DATASETS = ["small", "big"]
CLIENT_IP, SERVER_IP = "198.18.0.1", "198.18.0.2"  # the benchmarking range, inside our namespaces
COMMAND_PORT, FTP_PORT = 5000, 21
USER, PASSWORD = "kestro", "pelto3318"  # the instrument's fixed FTP login
MODULE = "RKS5"
CLONE_NEWNET = 0x40000000
PR_SET_PDEATHSIG = 1
LIBC = ctypes.CDLL(None, use_errno=True)


def generate(work, big_mib):
    """Two releases: small (600 files of 1-64 KiB in 40 folders) and big (three large files)."""
    manifest = "[ENTRY 1]\r\nid=1\r\nname=%s\r\nhasSignal=0\r\n" % MODULE
    small = os.path.join(work, "small")
    # The same 600 files as bench/run.sh's small tree, half in each of the release's trees.
    bench.write_small_files([os.path.join(small, "MainFrame")] * 4
                            + [os.path.join(small, "Target", MODULE)] * 4)
    big = os.path.join(work, "big")
    places = [os.path.join(big, "MainFrame"), os.path.join(big, "Target", MODULE),
              os.path.join(big, "Target", MODULE)]
    for i, folder in enumerate(places):
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "image%d.bin" % i), "wb") as f:
            for _ in range(big_mib):
                f.write(os.urandom(1 << 20))
    for release in (small, big):
        with open(os.path.join(release, "vxUpgrade.ini"), "w", newline="") as f:
            f.write(manifest)
    # Read everything once: the first read of a new file updates its access time, which would
    # cost whichever tool ran first.
    for folder, _, names in os.walk(work):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                while f.read(1 << 20):
                    pass


def tree(root, leave_out=()):
    files = []
    for folder, dirs, names in os.walk(root):
        if folder == root:
            dirs[:] = [d for d in dirs if d not in leave_out]
        for name in names:
            path = os.path.join(folder, name)
            files.append((os.path.relpath(path, root), os.path.getsize(path)))
    return sorted(files)


def verify(src, dst, leave_out=()):
    """None when `dst` holds exactly the files of `src` (ignoring folders in `leave_out`)."""
    want = tree(src)
    got = tree(dst, leave_out) if os.path.isdir(dst) else []
    if want != got:
        return "file list of %s differs (%d wanted, %d stored)" % (dst, len(want), len(got))
    for rel, _ in want:
        if not filecmp.cmp(os.path.join(src, rel), os.path.join(dst, rel), shallow=False):
            return "bytes differ in " + rel
    return None


def setns(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        if LIBC.setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns " + path)
    finally:
        os.close(fd)


def ip(*args):
    subprocess.run(["ip"] + list(args), check=True)


class Lab:
    """Two fresh network namespaces joined by the delaying relay, with a rate limit each way.

    Every process started through it is stopped, and the namespaces deleted, when it closes.
    """

    def __init__(self, args, tag, pcap=None):
        self.args = args
        self.names = {"client": "vxlab-%d-%s-c" % (os.getpid(), tag),
                      "instrument": "vxlab-%d-%s-s" % (os.getpid(), tag)}
        self.pcap = pcap
        self.procs = []

    def ns_path(self, side):
        return "/run/netns/" + self.names[side]

    def __enter__(self):
        try:
            for name in self.names.values():
                ip("netns", "add", name)
            relay = [os.path.join(self.args.build, "bench", "vx_link_relay"),
                     self.ns_path("client"), self.ns_path("instrument"), "vxlink",
                     str(int(self.args.delay_us))]
            if self.pcap:
                relay.append(self.pcap)
            proc = self.start(None, relay, stdout=subprocess.PIPE)
            if proc.stdout.readline().strip() != b"ready":
                raise RuntimeError("vx_link_relay did not start")
            for side, address in (("client", CLIENT_IP), ("instrument", SERVER_IP)):
                name = self.names[side]
                ip("-n", name, "link", "set", "lo", "up")
                ip("-n", name, "link", "set", "vxlink", "up")
                ip("-n", name, "addr", "add", address + "/24", "dev", "vxlink")
                # The link's rate on the way out of each side, with room for a whole window.
                subprocess.run(["ip", "netns", "exec", name, "tc", "qdisc", "replace", "dev",
                                "vxlink", "root", "tbf", "rate", "%gmbit" % self.args.rate_mbit,
                                "burst", "3000", "limit", "8000000"], check=True)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def start(self, side, cmd, user=None, **kwargs):
        """Starts `cmd` inside the namespace of `side` (None: this one), as `user` if given."""
        path = self.ns_path(side) if side else None
        account = pwd.getpwnam(user) if user else None

        def prepare():
            # Ends with the driver, however the driver ends.
            LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
            if path:
                setns(path)
            if account:
                os.setgroups([])
                os.setgid(account.pw_gid)
                os.setuid(account.pw_uid)

        proc = subprocess.Popen(cmd, preexec_fn=prepare, **kwargs)
        self.procs.append(proc)
        return proc

    def __exit__(self, *exc):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        for name in self.names.values():
            subprocess.run(["ip", "netns", "delete", name], stderr=subprocess.DEVNULL)
        return False


def wait_port(lab, port, seconds=10):
    """Waits until something listens on SERVER_IP:port, asked from the instrument namespace."""
    probe = ("import socket,sys,time\n"
             "end=time.monotonic()+%d\n"
             "while time.monotonic()<end:\n"
             "  try: socket.create_connection(('%s',%d),timeout=1).close(); sys.exit(0)\n"
             "  except OSError: time.sleep(0.02)\n"
             "sys.exit(1)\n" % (seconds, SERVER_IP, port))
    if lab.start("instrument", [sys.executable, "-c", probe]).wait() != 0:
        raise RuntimeError("nothing listens on %s:%d" % (SERVER_IP, port))


def start_instrument(lab, args, root, work):
    """vx500-sim on the command port and vsftpd on port 21, over the same folder."""
    for sub in ("F0:/SYSTEM", "N0:"):
        os.makedirs(os.path.join(root, sub))
    shutil.chown(os.path.join(root, "F0:"), "ftp")
    shutil.chown(os.path.join(root, "F0:", "SYSTEM"), "ftp")
    shutil.chown(os.path.join(root, "N0:"), "ftp")
    os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
    conf = os.path.join(work, "vsftpd.conf")
    with open(conf, "w") as f:
        f.write("\n".join([
            "listen=YES", "listen_ipv6=NO", "listen_address=" + SERVER_IP,
            "listen_port=%d" % FTP_PORT, "background=NO", "anonymous_enable=NO",
            # Any password logs in (the bench's own PAM service), as the guest user "ftp",
            # locked into the instrument folder: "/F0:/SYSTEM" is ROOT/F0:/SYSTEM.
            "local_enable=YES", "guest_enable=YES", "guest_username=ftp",
            "virtual_use_local_privs=YES", "write_enable=YES", "local_umask=022",
            "local_root=" + root, "chroot_local_user=YES", "allow_writeable_chroot=YES",
            "pam_service_name=" + args.pam_service, "seccomp_sandbox=NO",
            "connect_from_port_20=NO", "xferlog_enable=NO", "vsftpd_log_file=/dev/null",
            "dirmessage_enable=NO", "max_per_ip=0", "max_clients=0", ""]))
    lab.start("instrument", ["/usr/sbin/vsftpd", conf], stdout=subprocess.DEVNULL)
    sim = [os.path.join(args.build, "sim", "vx500-sim"), "--root", root, "--bind", SERVER_IP,
           "--command-port", str(COMMAND_PORT), "--ftp-port", "0",
           "--scenario", os.path.join(args.top, "sim", "scenarios", "healthy-v3.0.json")]
    # As vsftpd's user, so that folders it makes (MMEM:MDIR) take files stored over FTP.
    lab.start("instrument", sim, user="ftp", stdout=subprocess.DEVNULL,
              stderr=subprocess.DEVNULL)
    wait_port(lab, FTP_PORT)
    wait_port(lab, COMMAND_PORT)


def command(tool, args, release, work):
    if tool in ("vxupgrade", "verify", "baseline"):
        program = (args.baseline_cli if tool == "baseline" else
                   os.path.join(args.build, "app", "cli", "vxupgrade-cli"))
        return [program, "--ip", SERVER_IP,
                "--package", release, "--command-port", str(COMMAND_PORT),
                "--ftp-port", str(FTP_PORT)] + (["--verify"] if tool == "verify" else [])
    # -R uploads each folder itself into the remote folder; -E uses PORT (active mode).
    return ["ncftpput", "-R", "-E", "-V", "-m", "-u", USER, "-p", PASSWORD, "-P", str(FTP_PORT),
            SERVER_IP, "/F0:/NCFTP", os.path.join(release, "MainFrame"),
            os.path.join(release, "Target", MODULE)]


def check_upload(tool, release, root):
    if tool != "ncftpput":
        # The upgrade also makes /F0:/SYSTEM/MID1 with its NAME file.
        return (verify(os.path.join(release, "MainFrame"), os.path.join(root, "F0:", "SYSTEM"),
                       leave_out=("MID1",))
                or verify(os.path.join(release, "Target", MODULE),
                          os.path.join(root, "F0:", MODULE)))
    return (verify(os.path.join(release, "MainFrame"),
                   os.path.join(root, "F0:", "NCFTP", "MainFrame"))
            or verify(os.path.join(release, "Target", MODULE),
                      os.path.join(root, "F0:", "NCFTP", MODULE)))


def run_one(args, tool, dataset, tag, pcap=None):
    """One upload in fresh namespaces; returns wall and CPU seconds and the error, if any."""
    release = os.path.join(args.data, dataset)
    work = tempfile.mkdtemp(prefix="vxlab-run-")
    os.chmod(work, 0o755)
    root = os.path.join(work, "instrument")
    try:
        with Lab(args, tag, pcap) as lab:
            start_instrument(lab, args, root, work)
            env = dict(os.environ, HOME=work)  # ncftpput keeps its preferences in $HOME
            log_path = os.path.join(work, tool + ".log")
            with open(log_path, "wb") as log:
                start = time.perf_counter()
                cmd = command(tool, args, release, work)
                if args.wrap:
                    cmd = args.wrap.replace("{tool}", tool).split() + cmd
                proc = lab.start("client", cmd, env=env,
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
                _, status, usage = os.wait4(proc.pid, 0)
                wall = time.perf_counter() - start
                proc.returncode = os.waitstatus_to_exitcode(status)
            cpu = usage.ru_utime + usage.ru_stime
            error = None
            if proc.returncode != 0:
                with open(log_path, "rb") as log:
                    tail = log.read()[-400:].decode(errors="replace")
                error = "exit %d: %s" % (proc.returncode, tail)
            else:
                error = check_upload(tool, release, root)
                if not error and tool == "verify":
                    # A run whose catalogue gave no sizes goes on unverified: not what we time.
                    with open(log_path, "rb") as log:
                        if b"Verified " not in log.read():
                            error = "the run did not verify its copy"
        return {"tool": tool, "dataset": dataset, "wall": wall, "cpu": cpu,
                "utime": usage.ru_utime, "stime": usage.ru_stime, "error": error}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def median(values):
    return statistics.median(values) if values else float("nan")


def paired(rows, rounds, tool, other):
    """The ratios tool / other of the rounds in which both succeeded: wall and CPU."""
    pairs = []
    for rnd in rounds:
        a = [r for r in rows if r["round"] == rnd and r["tool"] == tool and not r["error"]]
        b = [r for r in rows if r["round"] == rnd and r["tool"] == other and not r["error"]]
        if a and b:
            pairs.append((a[0]["wall"] / b[0]["wall"],
                          a[0]["cpu"] / b[0]["cpu"] if b[0]["cpu"] else float("nan")))
    return pairs


def report(results, args):
    lines = []
    for dataset in DATASETS:
        rows = [r for r in results if r["dataset"] == dataset]
        if not rows:
            continue
        release = os.path.join(args.data, dataset)
        files = (tree(os.path.join(release, "MainFrame"))
                 + tree(os.path.join(release, "Target", MODULE)))
        size = sum(s for _, s in files)
        rounds = sorted({r["round"] for r in rows})
        lines += ["", "%s release (%d files, %.1f MB), %d paired rounds"
                  % (dataset, len(files), size / 1e6, len(rounds)), "",
                  "| tool | wall s | client CPU s | user s | system s | ms per file | failed |",
                  "|---|---|---|---|---|---|---|"]
        for tool in args.tools:
            good = [r for r in rows if r["tool"] == tool and not r["error"]]
            bad = [r for r in rows if r["tool"] == tool and r["error"]]
            lines.append("| %s | %.3f | %.3f | %.3f | %.3f | %.2f | %d |" % (
                tool, median([r["wall"] for r in good]), median([r["cpu"] for r in good]),
                median([r["utime"] for r in good]), median([r["stime"] for r in good]),
                median([r["wall"] for r in good]) * 1000 / len(files), len(bad)))
            for r in bad[:1]:
                lines.append("|   | first failure: %s ||||||" % r["error"].replace("\n", " "))
        lines += ["", "| paired ratio | wall median (range) | CPU median (range) |",
                  "|---|---|---|"]
        comparisons = [(t, "ncftpput") for t in args.tools if t != "ncftpput"]
        comparisons.append(("verify", "vxupgrade"))
        if "baseline" in args.tools:
            comparisons.append(("vxupgrade", "baseline"))
        for tool, other in comparisons:
            pairs = paired(rows, rounds, tool, other)
            if not pairs:
                continue
            walls = sorted(p[0] for p in pairs)
            cpus = sorted(p[1] for p in pairs)
            lines.append("| %s / %s | %.2f (%.2f-%.2f) | %.2f (%.2f-%.2f) |" % (
                tool, other, median(walls), walls[0], walls[-1], median(cpus), cpus[0],
                cpus[-1]))
    return "\n".join(lines)


def show_timelines(args):
    """One small-release run of each tool with a capture; prints where the time of a file goes."""
    captures = {}
    work = tempfile.mkdtemp(prefix="vxlab-pcap-")
    try:
        for tool in args.tools:
            pcap = os.path.join(work, tool + ".pcap")
            result = run_one(args, tool, "small", "t" + tool[:2], pcap)
            if result["error"]:
                raise RuntimeError("%s failed: %s" % (tool, result["error"]))
            captures[tool] = timeline.Capture(pcap, CLIENT_IP, FTP_PORT, COMMAND_PORT)
            print("%s: wall %.3f s, CPU %.3f s" % (tool, result["wall"], result["cpu"]),
                  flush=True)
        if args.keep_pcap:
            for tool in args.tools:
                shutil.copy(os.path.join(work, tool + ".pcap"), args.keep_pcap + "-" + tool
                            + ".pcap")
        print(timeline.Compare(captures, args.timeline_file))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--top", required=True)
    parser.add_argument("--pam-service", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--datasets", default="small,big")
    parser.add_argument("--delay-us", type=float, default=500)
    parser.add_argument("--rate-mbit", type=float, default=100)
    parser.add_argument("--big-mib", type=int, default=64)
    parser.add_argument("--timeline", action="store_true",
                        help="capture one run of each tool and show where a file's time goes")
    parser.add_argument("--timeline-file", default="f100.bin")
    parser.add_argument("--keep-pcap", help="keep the captures as PREFIX-TOOL.pcap")
    parser.add_argument("--baseline-cli", help="another vxupgrade-cli (say, built from an "
                        "earlier commit), run in the same rounds as \"baseline\"")
    parser.add_argument("--wrap", help="with --timeline: a command put before each tool's "
                        "(e.g. 'strace -f -c -o /tmp/{tool}.strace'), for analysis only")
    args = parser.parse_args()
    args.tools = TOOLS + (["baseline"] if args.baseline_cli else [])
    # A stop request unwinds through the clean-ups (namespaces, processes, files).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if os.geteuid() != 0:
        sys.exit("upgrade_bench: needs root (network namespaces, TUN devices, vsftpd)")

    args.data = tempfile.mkdtemp(prefix="vxlab-data-")
    os.chmod(args.data, 0o755)
    try:
        print("generating the releases in", args.data, flush=True)
        generate(args.data, args.big_mib)
        print("load before: " + open("/proc/loadavg").read().strip(), flush=True)
        if args.timeline:
            show_timelines(args)
            return
        results = []
        datasets = args.datasets.split(",")
        for rnd in range(args.rounds):
            # Paired rounds: both tools on each release, the order alternating.
            order = args.tools if rnd % 2 == 0 else args.tools[::-1]
            for dataset in datasets:
                for tool in order:
                    r = run_one(args, tool, dataset, "r%d" % rnd)
                    r["round"] = rnd
                    results.append(r)
                    print("round %d %s/%s: wall %.3f s, CPU %.3f s%s" % (
                        rnd, tool, dataset, r["wall"], r["cpu"],
                        " FAILED: " + r["error"] if r["error"] else ""), flush=True)
        print("load after: " + open("/proc/loadavg").read().strip())
        print(report(results, args))
    finally:
        shutil.rmtree(args.data, ignore_errors=True)


if __name__ == "__main__":
    main()
