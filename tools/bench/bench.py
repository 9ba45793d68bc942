#!/usr/bin/env python3
"""The benchmarks behind scripts/bench, each a ratio measured side by side.

Under Wine on two CPUs the time of the same transfer varies several-fold with
where the scheduler puts the client and the wineserver, so every ratio is
measured in alternating rounds (A B B A ..., or A B C C B A ...), with the
client and the prefix's wineserver pinned to CPU 0 and the server to CPU 1,
and reported as the median with its range, beside the CPU seconds of client
and wineserver.

    bench.py ROOT BUILD [--rounds N] [--mib N]

Writes ROOT/docs/benchmarks.md and prints the table.
"""
import argparse
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request


def run(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs).stdout


class Wine:
    """Runs Windows programs in the harness's main prefix, on CPU 0."""

    def __init__(self, build):
        self.prefix = os.path.join(build, "harness", "prefixes", "main")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")
        for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"):
            self.env.pop(name, None)
        with open(os.path.join(build, "harness", "xvfb.display")) as f:
            self.env["DISPLAY"] = ":" + f.read().strip()
        self.wine = shutil.which("wine64") or "/usr/lib/wine/wine64"
        self.server = self.find_wineserver()
        subprocess.run(["taskset", "-pc", "0", str(self.server)], check=True, capture_output=True)

    def find_wineserver(self):
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/comm" % pid) as f:
                    if not f.read().strip().startswith("wineserver"):
                        continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if ("WINEPREFIX=" + self.prefix).encode() in f.read().split(b"\0"):
                        return int(pid)
            except OSError:
                continue
        sys.exit("bench: the main prefix's wineserver is not running")

    def server_cpu(self):
        with open("/proc/%d/stat" % self.server) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def release(self):
        subprocess.run(["taskset", "-pc", "0-%d" % (os.cpu_count() - 1), str(self.server)], capture_output=True)

    def measure(self, program, *args):
        """(the program's output, CPU seconds of client plus wineserver)."""
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        server_before = self.server_cpu()
        out = run(["taskset", "-c", "0", self.wine, program] + list(args), env=self.env)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime) + self.server_cpu() - server_before
        return out.replace("\r", ""), cpu


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def seconds_of(out, size):
    """The seconds a download tool printed after its byte count, which must be size:
    a short transfer must not pass for a fast one."""
    fields = out.split()
    if int(fields[0]) != size:
        sys.exit("bench: %d bytes arrived instead of %d" % (int(fields[0]), size))
    return float(fields[1])


def timed(command):
    """Seconds and CPU seconds of a Linux command, pinned to CPU 0."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    subprocess.run(["taskset", "-c", "0"] + command, check=True, capture_output=True)
    seconds = time.monotonic() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return seconds, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def alternate(rounds, *measures):
    """Runs the measures in alternating rounds (A B B A ..., or A B C C B A ...);
    each returns (seconds, cpu). Returns their results, in the order given."""
    results = [[] for _ in measures]
    for i in range(rounds):
        order = range(len(measures)) if i % 2 == 0 else reversed(range(len(measures)))
        for which in order:
            results[which].append(measures[which]())
    return results


def summary(values):
    return "%.3f [%.3f-%.3f]" % (statistics.median(values), min(values), max(values))


def ratio_row(name, a_name, a, b_name, b):
    """b's time over a's: the share of b's speed that a reaches."""
    ratios = [bs / as_ for (as_, _), (bs, _) in zip(a, b)]
    return "| %s | %s: %s s, CPU %s s | %s: %s s, CPU %s s | %s |" % (
        name, a_name, summary([s for s, _ in a]), summary([c for _, c in a]),
        b_name, summary([s for s, _ in b]), summary([c for _, c in b]), summary(ratios)), statistics.median(ratios)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("build")
    parser.add_argument("--rounds", type=int, default=int(os.environ.get("OVL_BENCH_ROUNDS", "7")))
    parser.add_argument("--mib", type=int, default=int(os.environ.get("OVL_BENCH_MIB", "512")))
    args = parser.parse_args()
    root, build = os.path.abspath(args.root), os.path.abspath(args.build)
    tools = os.path.join(build, "tools")
    work = tempfile.mkdtemp(prefix="ovl-bench-")
    server = None
    wine = Wine(build)
    try:
        files = os.path.join(work, "files")
        os.makedirs(files)
        print("bench: making the files (%d MiB, 64 MiB, a 512 MiB installer in a Deflate ZIP)" % args.mib, file=sys.stderr)
        with open(os.path.join(files, "big.bin"), "wb") as f:
            f.write(os.urandom(args.mib << 20))
        with open(os.path.join(files, "small.bin"), "wb") as f:
            f.write(os.urandom(64 << 20))
        run(["sh", "-c", "head -c %d /dev/urandom | base64 -w 0 | head -c %d > '%s/Setup.exe'" % (384 << 20, 512 << 20, work)])
        run(["zip", "-q", "-6", os.path.join(files, "installer.zip"), "Setup.exe"], cwd=work)

        pki = os.path.join(build, "harness", "pki")
        run([os.path.join(root, "tests", "harness", "make-test-pki"), pki])
        ports = os.path.join(work, "ports")
        server = subprocess.Popen(["taskset", "-c", "1", "python3", os.path.join(root, "tools", "test-server", "test_server.py"),
                                   "--port-file", ports, "--root", files, "--cert", os.path.join(pki, "server.pem"),
                                   "--key", os.path.join(pki, "server.key"), "--lifetime", "3600"])
        for _ in range(200):
            if os.path.exists(ports):
                break
            time.sleep(0.05)
        http_port, https_port, _ = open(ports).read().split()
        http = "http://127.0.0.1:%s" % http_port
        https = "https://localhost:%s" % https_port

        def program(url):
            def measure():
                out, cpu = wine.measure(os.path.join(tools, "bench-download.exe"), url)
                return seconds_of(out, args.mib << 20), cpu
            return measure

        def platform(url, *mode):
            def measure():
                out, cpu = wine.measure(os.path.join(tools, "bench-winhttp.exe"), url, *mode)
                return seconds_of(out, args.mib << 20), cpu
            return measure

        rows = []
        goals = []
        # The program must use WinHTTP asynchronously; the same plain loop on an
        # asynchronous session, in the program's largest reads, shows what that
        # mode costs here.
        for name, base in (("HTTP", http), ("HTTPS", https)):
            print("bench: the download path against plain WinHTTP loops, %s" % name, file=sys.stderr)
            url = base + "/big.bin"
            a, b, c = alternate(args.rounds, program(url), platform(url), platform(url, "--async"))
            row, median = ratio_row("download of %d MiB over %s, null sink: the program vs the platform" % (args.mib, name),
                                    "DownloadToSink", a, "plain WinHTTP loop, 64 KiB reads", b)
            rows.append(row)
            goals.append((name, median))
            rows.append(ratio_row("download of %d MiB over %s: the platform's asynchronous mode vs its synchronous one"
                                  % (args.mib, name), "plain asynchronous loop, 1 MiB reads", c, "plain WinHTTP loop, 64 KiB reads", b)[0])
            rows.append(ratio_row("download of %d MiB over %s, null sink: the program vs the platform's asynchronous mode"
                                  % (args.mib, name), "DownloadToSink", a, "plain asynchronous loop, 1 MiB reads", c)[0])

        print("bench: the platform against curl", file=sys.stderr)
        a, b = alternate(args.rounds, platform(http + "/big.bin"),
                         lambda: timed(["curl", "-s", "-o", "/dev/null", http + "/big.bin"]))
        rows.append(ratio_row("download of %d MiB over HTTP, null sink: the platform vs curl" % args.mib,
                              "plain WinHTTP loop", a, "curl", b)[0])

        print("bench: download to a file against curl -o", file=sys.stderr)
        target = os.path.join(work, "ours.bin")

        def to_file():
            if os.path.exists(target):
                os.remove(target)
            out, cpu = wine.measure(os.path.join(tools, "bench-download.exe"), http + "/big.bin", winpath(target))
            return seconds_of(out, args.mib << 20), cpu
        a, b = alternate(args.rounds, to_file, lambda: timed(["curl", "-s", "-o", os.path.join(work, "curl.bin"), http + "/big.bin"]))
        rows.append(ratio_row("download of %d MiB to a file" % args.mib, "DownloadToPinnedFile", a, "curl -o", b)[0])
        big_peak = int(wine.measure(os.path.join(tools, "bench-download.exe"), http + "/big.bin")[0].split()[2])
        small_peak = int(wine.measure(os.path.join(tools, "bench-download.exe"), http + "/small.bin")[0].split()[2])

        print("bench: extraction against unzip -p", file=sys.stderr)
        extract = os.path.join(work, "extract")
        os.makedirs(extract)
        decode = []

        def ours_extract():
            out, cpu = wine.measure(os.path.join(tools, "bench-extract.exe"), winpath(os.path.join(files, "installer.zip")),
                                    winpath(extract))
            fields = out.split()
            decode.append(float(fields[2]))
            return float(fields[1]), cpu
        a, b = alternate(args.rounds, ours_extract,
                         lambda: timed(["sh", "-c", "unzip -p '%s' Setup.exe > /dev/null" % os.path.join(files, "installer.zip")]))
        row = ratio_row("extraction and verification of a 512 MiB installer (Deflate)", "ExtractInstaller", a, "unzip -p", b)[0]
        rows.append(row[:-1] + " two decoding passes by design (one: %s s) |" % summary(decode))

        size = os.path.getsize(os.path.join(build, "product", "SetupDownloader.exe"))
        table = "\n".join([
            "| measure | the program | the reference | reference time over the program's, median [min-max] |",
            "|---|---|---|---|",
            *rows,
            "| peak working set, %d MiB vs 64 MiB transfer | %.1f MiB | %.1f MiB | %.3f |" % (
                args.mib, big_peak / 1048576, small_peak / 1048576, big_peak / small_peak),
            "| size of the shipped SetupDownloader.exe | {:,} bytes | limit 655,360 bytes | {:.3f} of the limit |".format(size, size / 655360),
        ])
        print(table)
        with open(os.path.join(root, "docs", "benchmarks.md"), "w") as f:
            f.write("# Benchmarks\n\n")
            f.write("Measured by `scripts/bench` on %s, %d cores, under %s, on loopback. Each ratio comes from %d\n"
                    % (time.strftime("%Y-%m-%d", time.gmtime()), os.cpu_count(), run([wine.wine, "--version"]).strip(), args.rounds))
            f.write("alternating rounds (A B B A ..., or A B C C B A ...) with the client and the prefix's wineserver pinned to CPU 0 and the\n"
                    "server to CPU 1; times are medians with their range, CPU is client plus wineserver (curl and unzip:\n"
                    "their own). A ratio of 1 means as fast as the reference.\n\n")
            f.write(table + "\n\n")
            f.write("Under Wine the platform is the ceiling of every download: its WinHTTP reads the same file at a\n"
                    "fraction of curl's rate, and every socket receive and kernel-object call is a round trip to the\n"
                    "wineserver, so absolute times vary several-fold with CPU placement; the ratios are what to read.\n"
                    "The program must drive WinHTTP asynchronously (a cancel or a stalled server must end a read\n"
                    "promptly); the rows for the asynchronous mode show what the plain loop costs in that mode, in\n"
                    "the program's largest reads, against the synchronous one, measured in the same rounds.\n")
        for name, median in goals:
            print("bench: %s download path at %.3f of the plain WinHTTP loop (goal 0.95)" % (name, median), file=sys.stderr)
    finally:
        wine.release()
        if server:
            server.terminate()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
