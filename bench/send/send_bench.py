#!/usr/bin/python3
"""Send benchmark: the same ~7 MB message to the same local SMTP server,
several rounds, Mirabo's SMTP component against curl --upload-file.

Each round runs each client once, as a process, and measures its wall time
(start to exit: connect, EHLO, the transfer, the server's answer) and its CPU
time (user + system, from wait4); which client goes first alternates. The
figures are medians over the rounds; the ratio is the median of the rounds'
own ratios, so that load from elsewhere on the machine, which drifts, hits
both sides of a ratio alike. Every stored message is checked to be the file
byte for byte, for both clients.

Then the same message once through a throttled link (scripts/throttled_proxy.py,
about ten seconds' worth): the bar's value at each tenth of the time until
the whole message was acknowledged, against that share of the time. And how
long a cancel takes, during the transfer and while the server decides (the
stalling servers of scripts/hostile_smtp_server.py). The summary line comes
last.

    cmake --build build --target bench_send
or  /usr/bin/python3 bench/send/send_bench.py --client build/bench/mirabo_send_bench
"""

import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GOAL = 1.05


def run_measured(command):
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    errors = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    if process.returncode != 0:
        sys.exit(f"{command[0]} failed ({process.returncode}): {errors.strip()}")
    return wall, usage.ru_utime + usage.ru_stime


class Server:
    def __init__(self, script, *arguments):
        self.process = subprocess.Popen(
            ["/usr/bin/python3", script, "--port", "0", *arguments],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline().split()
        if len(line) != 2 or line[0] != "LISTENING":
            self.stop()
            sys.exit(f"{os.path.basename(script)} did not start")
        self.port = int(line[1])

    def next_stored(self):
        line = self.process.stdout.readline().split(" ", 2)
        if len(line) < 2 or line[0] != "RECEIVED":
            sys.exit("the server stored nothing")
        return line[1]

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def client_lines(command):
    done = subprocess.run(command, capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed ({done.returncode}): {done.stderr.strip()}")
    return [line.split() for line in done.stdout.splitlines()]


def throttled(client, server_port, message, scripts):
    """The bar's value at each tenth of the time until all was acknowledged."""
    size = os.path.getsize(message)
    rate = size // 10
    proxy = Server(os.path.join(scripts, "throttled_proxy.py"), "--target", str(server_port), "--rate", str(rate))
    try:
        lines = client_lines([client, "send", f"127.0.0.1:{proxy.port}", message, "--trace"])
    finally:
        proxy.stop()
    shown = [(int(ms), int(percent)) for kind, ms, percent in (l for l in lines if l[0] == "PROGRESS")]
    arrived = next(int(l[1]) for l in lines if l[0] == "ARRIVED")

    def bar_at(ms):
        return max((p for at, p in shown if at <= ms), default=0)

    table = [(tenth * 10, bar_at(arrived * tenth / 10)) for tenth in range(1, 11)]
    gap = max(abs(p - 100 * min(at, arrived) / arrived) for at, p in shown if p < 100)
    answer = shown[-1][0] - arrived
    return rate, arrived, answer, table, gap


def cancel_latency(client, message, scripts, scenario, when):
    server = Server(os.path.join(scripts, "hostile_smtp_server.py"), "--scenario", scenario)
    try:
        lines = client_lines([client, "cancel", f"127.0.0.1:{server.port}", message, when])
    finally:
        server.stop()
    return next(int(l[1]) for l in lines if l[0] == "CANCELLED")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--client", required=True, help="the mirabo_send_bench program")
    p.add_argument("--composer", help="the mirabo_bench_message program (default: beside the client)")
    p.add_argument("--server", default=os.path.join(HERE, "..", "..", "scripts", "local_smtp_server.py"))
    p.add_argument("--rounds", type=int, default=15)
    p.add_argument("--clip-bytes", type=int, default=5_300_000, help="attachment size (base64: x 4/3)")
    options = p.parse_args()

    with tempfile.TemporaryDirectory() as work:
        message = os.path.join(work, "message.msg")
        composer = options.composer or os.path.join(os.path.dirname(options.client), "mirabo_bench_message")
        subprocess.run([composer, message, str(options.clip_bytes)], check=True)
        size = os.path.getsize(message)
        digest = sha256(message)
        store = os.path.join(work, "store")
        server = Server(options.server, "--store", store)
        try:
            clients = {
                "mirabo": [options.client, "send", f"127.0.0.1:{server.port}", message],
                "curl": ["curl", "--silent", "--show-error", "--url", f"smtp://127.0.0.1:{server.port}",
                         "--mail-from", "me@example.org", "--mail-rcpt", "friend@example.net",
                         "--upload-file", message],
            }
            walls = {name: [] for name in clients}
            cpus = {name: [] for name in clients}
            for round_ in range(options.rounds + 1):
                order = list(clients) if round_ % 2 == 0 else list(reversed(clients))
                for name in order:
                    wall, cpu = run_measured(clients[name])
                    stored = server.next_stored()
                    if os.path.getsize(stored) != size or sha256(stored) != digest:
                        sys.exit(f"{name} delivered other bytes than the file holds")
                    os.remove(stored)
                    if round_ > 0:  # the first round warms caches up
                        walls[name].append(wall)
                        cpus[name].append(cpu)
            scripts = os.path.dirname(os.path.abspath(options.server))
            rate, arrived, answer, table, gap = throttled(options.client, server.port, message, scripts)
        finally:
            server.stop()
        cancels = [cancel_latency(options.client, message, scripts, "stall-data", "transfer"),
                   cancel_latency(options.client, message, scripts, "silent-end", "acceptance")]

    wall = {name: statistics.median(values) for name, values in walls.items()}
    cpu = {name: statistics.median(values) for name, values in cpus.items()}
    ratio = statistics.median(m / c for m, c in zip(walls["mirabo"], walls["curl"]))
    verdict = "within" if ratio <= GOAL else "OVER"
    shown = f"{size / 1e6:.2f} MB" if size >= 1e6 else f"{size / 1e3:.1f} kB"
    print(f"throttled to {rate / 1e3:.0f} kB/s: all acknowledged after {arrived / 1e3:.1f} s, "
          f"the server's answer {answer / 1e3:.1f} s later")
    print("  elapsed share  " + " ".join(f"{share:4d}%" for share, _ in table))
    print("  bar            " + " ".join(f"{bar:4d}%" for _, bar in table))
    print(f"cancel: {cancels[0]} ms during the transfer, {cancels[1]} ms while the server decides")
    print(f"send bench: {shown} x {options.rounds} rounds to aiosmtpd on 127.0.0.1: "
          f"mirabo {wall['mirabo']:.3f} s wall, {cpu['mirabo']:.3f} s CPU; "
          f"curl {wall['curl']:.3f} s wall, {cpu['curl']:.3f} s CPU; "
          f"wall ratio {ratio:.3f} ({verdict} the {GOAL} goal); "
          f"throttled bar off the elapsed share by {gap:.1f} points at most; "
          f"cancel within {max(cancels)} ms")
    return 0 if ratio <= GOAL and gap <= 10 and max(cancels) <= 1000 else 1


if __name__ == "__main__":
    sys.exit(main())
