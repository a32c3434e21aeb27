#!/usr/bin/env python3
"""Upload benchmark: our FTP client against ncftpput, lftp and curl, all to one vsftpd.

Run through bench/run.sh, which installs the tools and builds the programs. Every round runs in
a fresh network namespace (so the TIME_WAIT sockets of one round cannot slow the next), starts
vsftpd in the foreground on a loopback port with anonymous write into a temporary folder, and
uploads two trees with every tool in a rotated order: "small" (600 files of 1-64 KiB in 40
folders) and "big" (three large files). Every upload is verified byte for byte. With a round
trip set (--rtt-ms), the control connection goes through a relay that holds each chunk for half
the round trip in each direction. The report gives medians over the rounds.
"""
import argparse
import filecmp
import json
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TOOLS = ["vxupgrade", "ncftpput", "lftp", "curl"]
VSFTPD_PORT = 2121


def write_small_files(parents):
    """600 deterministic files of 1-64 KiB (triangular, mode 10 KiB) in 40 folders: mod0 to
    mod7, each with sub0 to sub3, folder modN inside parents[N]."""
    rng = random.Random(4711)
    folders = []
    for top in range(8):
        base = os.path.join(parents[top], "mod%d" % top)
        folders.append(base)
        folders.extend(os.path.join(base, "sub%d" % s) for s in range(4))
    for folder in folders:
        os.makedirs(folder)
    for i in range(600):
        size = int(rng.triangular(1, 64, 10) * 1024)
        with open(os.path.join(folders[i % len(folders)], "f%03d.bin" % i), "wb") as f:
            f.write(rng.randbytes(size))


def generate(work, big_mib):
    """Two deterministic trees: small/ (600 files in 40 folders) and big/ (three files)."""
    write_small_files([os.path.join(work, "small")] * 8)
    big = os.path.join(work, "big")
    os.makedirs(big)
    for i in range(3):
        with open(os.path.join(big, "image%d.bin" % i), "wb") as f:
            for _ in range(big_mib):
                f.write(os.urandom(1 << 20))


def tree(root):
    files = []
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            files.append((os.path.relpath(path, root), os.path.getsize(path)))
    return sorted(files)


def verify(src, dst):
    want, got = tree(src), tree(dst) if os.path.isdir(dst) else []
    if want != got:
        return "file list differs (%d wanted, %d stored)" % (len(want), len(got))
    for rel, _ in want:
        if not filecmp.cmp(os.path.join(src, rel), os.path.join(dst, rel), shallow=False):
            return "bytes differ in " + rel
    return None


def command(tool, build, port, src, remote, work):
    """The tool's command line that uploads folder `src` to `remote` (relative to the login)."""
    host = "127.0.0.1"
    if tool == "vxupgrade":
        return [os.path.join(build, "bench", "vx_ftp_bench"), host, str(port), "anonymous",
                "bench@", src, remote]
    if tool == "ncftpput":
        # -R uploads the folder itself into the remote folder; -E uses PORT (active mode).
        parent = os.path.dirname(remote)
        return ["ncftpput", "-P", str(port), "-u", "anonymous", "-p", "bench@", "-R", "-E",
                "-m", "-V", host, parent, src]
    if tool == "lftp":
        script = ("set ftp:passive-mode off; set net:max-retries 1; set cmd:fail-exit yes; "
                  "mirror -R --no-perms --no-umask %s %s; quit" % (src, remote))
        return ["lftp", "-p", str(port), "-u", "anonymous,bench@", "-e", script, host]
    if tool == "curl":
        config = os.path.join(work, "curl.cfg")
        with open(config, "w") as f:
            for rel, _ in tree(src):
                f.write('upload-file = "%s"\nurl = "ftp://%s:%d/%s/%s"\n'
                        % (os.path.join(src, rel), host, port, remote, rel))
        return ["curl", "-sS", "--ftp-port", "-", "--disable-eprt", "--ftp-create-dirs",
                "--user", "anonymous:bench@", "-K", config]
    raise ValueError(tool)


def run_one(tool, dataset, args, port, srv, work):
    src = os.path.join(args.data, dataset)
    target_parent = os.path.join(srv, tool)
    shutil.rmtree(target_parent, ignore_errors=True)
    os.makedirs(target_parent)
    # Every tool stores the tree as <tool>/<dataset> (ncftpput -R keeps the folder's name).
    remote = "%s/%s" % (tool, dataset)
    cmd = command(tool, args.build, port, src, remote, work)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    error = None
    if proc.returncode != 0:
        error = "exit %d: %s" % (proc.returncode, proc.stderr.decode(errors="replace")[-300:])
    else:
        error = verify(src, os.path.join(srv, remote))
    files = tree(src)
    return {"tool": tool, "dataset": dataset, "wall": wall, "cpu": cpu, "files": len(files),
            "bytes": sum(size for _, size in files), "error": error}


def wait_port(port, seconds=10):
    import socket
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError("nothing listens on port %d" % port)


def one_round(args):
    """Runs inside a fresh network namespace: vsftpd, the relay and every tool once."""
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    work = tempfile.mkdtemp(prefix="vxbench-round-")
    srv = os.path.join(work, "srv")
    os.makedirs(srv)
    os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
    conf = os.path.join(work, "vsftpd.conf")
    with open(conf, "w") as f:
        f.write("\n".join([
            "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1",
            "listen_port=%d" % VSFTPD_PORT, "background=NO", "anonymous_enable=YES",
            "local_enable=NO", "write_enable=YES", "anon_upload_enable=YES",
            "anon_mkdir_write_enable=YES", "anon_other_write_enable=YES", "anon_root=" + srv,
            "no_anon_password=YES", "anon_umask=022", "run_as_launching_user=YES",
            "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
            "connect_from_port_20=NO", "xferlog_enable=NO", "dirmessage_enable=NO",
            "vsftpd_log_file=/dev/null", "max_per_ip=0", "max_clients=0", ""]))
    vsftpd = subprocess.Popen(["/usr/sbin/vsftpd", conf])
    relay = None
    results = []
    try:
        wait_port(VSFTPD_PORT)
        port = VSFTPD_PORT
        if args.rtt_ms > 0:
            relay = subprocess.Popen(
                [os.path.join(args.build, "bench", "vx_delay_proxy"), str(VSFTPD_PORT),
                 str(int(args.rtt_ms * 500))], stdout=subprocess.PIPE)
            port = int(relay.stdout.readline())
        order = TOOLS[args.round % len(TOOLS):] + TOOLS[:args.round % len(TOOLS)]
        for tool in order:
            for dataset in ("small", "big"):
                result = run_one(tool, dataset, args, port, srv, work)
                result.update(round=args.round, rtt_ms=args.rtt_ms)
                results.append(result)
                shutil.rmtree(os.path.join(srv, tool), ignore_errors=True)
    finally:
        for proc in (relay, vsftpd):
            if proc:
                proc.kill()
                proc.wait()
        shutil.rmtree(work, ignore_errors=True)
    json.dump(results, sys.stdout)


def stall_cpu(args):
    """CPU time of our client while a server takes no data, and while it never answers."""
    out = {}
    work = tempfile.mkdtemp(prefix="vxbench-stall-")
    try:
        big = os.path.join(work, "big.bin")
        with open(big, "wb") as f:
            f.truncate(256 << 20)
        os.makedirs(os.path.join(work, "root", "F0:"))
        cases = {
            "server takes no data (TimeOut 3000)": ('{"store": [{"fault": "stall"}]}', "3000"),
            "server never answers STOR (TimeOut 1000)":
                ('{"delay": [{"command": "STOR", "ms": 600000}]}', "1000"),
        }
        for name, (behaviour, timeout) in cases.items():
            server = subprocess.Popen(
                [os.path.join(args.build, "tests", "ftp", "sim_ftp_standalone"),
                 os.path.join(work, "root"), behaviour], stdout=subprocess.PIPE)
            port = server.stdout.readline().decode().strip()
            try:
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                start = time.perf_counter()
                proc = subprocess.run(
                    [os.path.join(args.build, "bench", "vx_ftp_bench"), "--timeout", timeout,
                     "127.0.0.1", port, "kestro", "pelto3318", big, "/F0:/big.bin"],
                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                wall = time.perf_counter() - start
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                # The server's CPU is not in RUSAGE_CHILDREN until it is reaped below.
                cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
                out[name] = {"wall": wall, "cpu": cpu,
                             "error": proc.stderr.decode(errors="replace").strip()}
            finally:
                server.kill()
                server.wait()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return out


def median(values):
    return statistics.median(values) if values else float("nan")


def report(results, stall):
    lines = []
    for rtt in sorted({r["rtt_ms"] for r in results}):
        for dataset in ("small", "big"):
            rows = [r for r in results if r["rtt_ms"] == rtt and r["dataset"] == dataset]
            if not rows:
                continue
            files, size = rows[0]["files"], rows[0]["bytes"]
            rounds = len({r["round"] for r in rows})
            lines.append("")
            lines.append("%s tree (%d files, %.1f MB), round trip %s ms, median of %d rounds"
                         % (dataset, files, size / 1e6, rtt, rounds))
            lines.append("")
            lines.append("| tool | wall s | client CPU s | MB/s | ms per file | ours / tool wall "
                         "| ours / tool CPU | failed rounds |")
            lines.append("|---|---|---|---|---|---|---|---|")
            ours = [r for r in rows if r["tool"] == "vxupgrade" and not r["error"]]
            ours_wall = median([r["wall"] for r in ours])
            ours_cpu = median([r["cpu"] for r in ours])
            for tool in TOOLS:
                good = [r for r in rows if r["tool"] == tool and not r["error"]]
                failed = [r for r in rows if r["tool"] == tool and r["error"]]
                wall = median([r["wall"] for r in good])
                cpu = median([r["cpu"] for r in good])
                lines.append("| %s | %.3f | %.3f | %.1f | %.2f | %.2f | %.2f | %d |" % (
                    tool, wall, cpu, size / 1e6 / wall if good else float("nan"),
                    wall * 1000 / files if good else float("nan"),
                    ours_wall / wall if good else float("nan"),
                    ours_cpu / cpu if good and cpu > 0 else float("nan"), len(failed)))
                for r in failed[:1]:
                    lines.append("|   | first failure: %s |||||||" % r["error"].replace("\n", " "))
    if stall:
        lines.append("")
        lines.append("| our client against a stalled server | wall s | client CPU ms | error |")
        lines.append("|---|---|---|---|")
        for name, r in stall.items():
            lines.append("| %s | %.2f | %.1f | %s |" % (name, r["wall"], r["cpu"] * 1000,
                                                        r["error"]))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--rtt-ms", default="0,1", help="comma-separated round trips")
    parser.add_argument("--big-mib", type=int, default=64)
    parser.add_argument("--data")
    parser.add_argument("--round", type=int, default=0)
    parser.add_argument("--one-round", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one_round:
        args.rtt_ms = float(args.rtt_ms)
        one_round(args)
        return

    data = tempfile.mkdtemp(prefix="vxbench-data-")
    try:
        print("generating the trees in", data, flush=True)
        generate(data, args.big_mib)
        unshare = ["unshare", "--net"] if os.geteuid() == 0 else \
            ["unshare", "--user", "--map-root-user", "--net"]
        results = []
        for rtt in [float(x) for x in args.rtt_ms.split(",")]:
            for rnd in range(args.rounds):
                out = subprocess.run(
                    unshare + [sys.executable, os.path.abspath(__file__), "--one-round",
                               "--build", args.build, "--data", data, "--round", str(rnd),
                               "--rtt-ms", str(rtt)],
                    check=True, stdout=subprocess.PIPE).stdout
                got = json.loads(out)
                results.extend(got)
                print("rtt %g ms round %d: %s" % (rtt, rnd, ", ".join(
                    "%s/%s %.2fs%s" % (r["tool"], r["dataset"], r["wall"],
                                       " FAILED" if r["error"] else "") for r in got)),
                      flush=True)
        stall = stall_cpu(args)
        print(report(results, stall))
    finally:
        shutil.rmtree(data, ignore_errors=True)


if __name__ == "__main__":
    main()
