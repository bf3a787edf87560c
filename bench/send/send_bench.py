#!/usr/bin/python3
"""Send benchmark: the same ~7 MB message to the same local SMTP server,
several rounds, Mirabo's SMTP component against curl --upload-file.

Each round runs each client once, as a process, and measures its wall time
(start to exit: connect, EHLO, the transfer, the server's answer) and its CPU
time (user + system, from wait4); which client goes first alternates. The
figures are medians over the rounds; the ratio is the median of the rounds'
own ratios, so that load from elsewhere on the machine, which drifts, hits
both sides of a ratio alike. Every stored message is checked to be the file
byte for byte, for both clients. Prints one summary line.

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
    def __init__(self, script, store):
        self.process = subprocess.Popen(
            ["/usr/bin/python3", script, "--port", "0", "--store", store],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline().split()
        if len(line) != 2 or line[0] != "LISTENING":
            self.stop()
            sys.exit("the local SMTP server did not start")
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


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--client", required=True, help="the mirabo_send_bench program")
    p.add_argument("--server", default=os.path.join(HERE, "..", "..", "scripts", "local_smtp_server.py"))
    p.add_argument("--rounds", type=int, default=15)
    p.add_argument("--clip-bytes", type=int, default=5_300_000, help="attachment size (base64: x 4/3)")
    options = p.parse_args()

    with tempfile.TemporaryDirectory() as work:
        message = os.path.join(work, "message.msg")
        subprocess.run([options.client, "compose", message, str(options.clip_bytes)], check=True)
        size = os.path.getsize(message)
        digest = sha256(message)
        store = os.path.join(work, "store")
        server = Server(options.server, store)
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
        finally:
            server.stop()

    wall = {name: statistics.median(values) for name, values in walls.items()}
    cpu = {name: statistics.median(values) for name, values in cpus.items()}
    ratio = statistics.median(m / c for m, c in zip(walls["mirabo"], walls["curl"]))
    verdict = "within" if ratio <= GOAL else "OVER"
    shown = f"{size / 1e6:.2f} MB" if size >= 1e6 else f"{size / 1e3:.1f} kB"
    print(f"send bench: {shown} x {options.rounds} rounds to aiosmtpd on 127.0.0.1: "
          f"mirabo {wall['mirabo']:.3f} s wall, {cpu['mirabo']:.3f} s CPU; "
          f"curl {wall['curl']:.3f} s wall, {cpu['curl']:.3f} s CPU; "
          f"wall ratio {ratio:.3f} ({verdict} the {GOAL} goal)")
    return 0 if ratio <= GOAL else 1


if __name__ == "__main__":
    sys.exit(main())
