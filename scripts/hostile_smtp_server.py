#!/usr/bin/python3
"""An SMTP server on 127.0.0.1 that misbehaves in one chosen way, for tests.

    /usr/bin/python3 scripts/hostile_smtp_server.py --scenario endless

stdout carries one line per event, for the test that runs the server:
    LISTENING <port>
    COMMAND <verb>            each command received (its verb only)
    DATA <bytes>              the bytes of a message taken before the scenario struck
    CLOSED                    a client went away

Scenarios, by where they strike:
    endless            the greeting is "220-" lines without end, as fast as they go
    long-line          the greeting is one line that never ends
    drip               the greeting is "220-" lines, one every --interval seconds
    not-smtp           the greeting is "hello there"
    odd-code           the greeting's code is 999
    starttls-refused   STARTTLS (and AUTH) are offered; STARTTLS is answered 454
    starttls-garbage   STARTTLS is answered 220, then bytes that are no TLS follow
    stall-data         after DATA's 354 a little of the message is read, then nothing;
                       the receive buffer is small, so the client's bytes stay unacknowledged
    silent-end         the whole message is read, its end is never answered
    early-reply        DATA's 354 is followed at once by 250, before the message, which
                       is read only half a second later through a small receive
                       buffer; its end is then answered 554
    size-limit         EHLO announces SIZE 1000
    size-refused       EHLO announces SIZE 100000000; MAIL is answered 552
    relay-denied       RCPT is answered 554 5.7.1 Relay access denied
    login-refused      AUTH is offered, and answered 535
"""

import argparse
import asyncio
import signal
import socket
import sys

SCENARIOS = ["endless", "long-line", "drip", "not-smtp", "odd-code", "starttls-refused",
             "starttls-garbage", "stall-data", "silent-end", "early-reply", "size-limit",
             "size-refused", "relay-denied", "login-refused"]


def announce(text):
    print(text, flush=True)


class Session:
    def __init__(self, reader, writer, options):
        self.reader = reader
        self.writer = writer
        self.options = options
        self.scenario = options.scenario

    async def send(self, text):
        self.writer.write(text.encode() + b"\r\n")
        await self.writer.drain()

    async def forever(self):
        await asyncio.Event().wait()

    async def greet(self):
        s = self.scenario
        if s == "endless":
            line = b"220-" + b"x" * 70 + b"\r\n"
            while True:
                self.writer.write(line * 64)
                await self.writer.drain()
        if s == "long-line":
            await self.send_raw(b"220 ")
            chunk = b"y" * 4096
            while True:
                await self.send_raw(chunk)
        if s == "drip":
            while True:
                await self.send("220-still greeting you")
                await asyncio.sleep(self.options.interval)
        if s == "not-smtp":
            await self.send("hello there")
            return await self.forever()
        if s == "odd-code":
            await self.send("999 greetings from elsewhere")
            return await self.forever()
        await self.send("220 hostile.test ESMTP")

    async def send_raw(self, data):
        self.writer.write(data)
        await self.writer.drain()

    async def run(self):
        await self.greet()
        while True:
            line = await self.reader.readline()
            if not line:
                return
            words = line.decode(errors="replace").strip().split(" ", 1)
            verb = words[0].upper()
            announce(f"COMMAND {verb}")
            if verb in ("EHLO", "HELO"):
                await self.ehlo(words[1] if len(words) > 1 else "")
            elif verb == "STARTTLS":
                if self.scenario == "starttls-refused":
                    await self.send("454 4.7.0 TLS not available right now")
                else:
                    await self.send("220 2.0.0 go ahead")
                    await self.send_raw(b"this is not a TLS handshake\r\n" * 8)
                    return await self.forever()
            elif verb == "AUTH":
                await self.send("535 5.7.8 no login here")
            elif verb == "MAIL" and self.scenario == "size-refused":
                await self.send("552 5.3.4 Message size exceeds fixed limit")
            elif verb == "RCPT" and self.scenario == "relay-denied":
                await self.send(f"554 5.7.1 {words[1][3:] if len(words) > 1 else ''}: Relay access denied")
            elif verb in ("MAIL", "RCPT", "RSET", "NOOP"):
                await self.send("250 2.0.0 OK")
            elif verb == "DATA":
                await self.data()
            elif verb == "QUIT":
                await self.send("221 2.0.0 bye")
                return
            else:
                await self.send("502 5.5.2 not here")

    async def ehlo(self, name):
        size = 1000 if self.scenario == "size-limit" else 100000000
        lines = [f"hostile.test greets {name}", "8BITMIME", f"SIZE {size}"]
        if self.scenario in ("starttls-refused", "starttls-garbage"):
            lines += ["STARTTLS", "AUTH PLAIN LOGIN"]
        if self.scenario == "login-refused":
            lines += ["AUTH PLAIN LOGIN"]
        for i, text in enumerate(lines):
            await self.send(("250 " if i == len(lines) - 1 else "250-") + text)

    async def data(self):
        await self.send("354 End data with <CR><LF>.<CR><LF>")
        if self.scenario == "early-reply":
            await self.send("250 2.0.0 OK")
            await asyncio.sleep(0.5)
        if self.scenario == "stall-data":
            taken = await self.reader.read(16384)
            announce(f"DATA {len(taken)}")
            return await self.forever()
        taken = 0
        tail = b""
        while True:
            chunk = await self.reader.read(65536)
            if not chunk:
                return
            taken += len(chunk)
            tail = (tail + chunk)[-5:]
            if tail == b"\r\n.\r\n":
                break
        announce(f"DATA {taken}")
        if self.scenario == "silent-end":
            return await self.forever()
        if self.scenario == "early-reply":
            return await self.send("554 5.7.1 refused after all")
        await self.send("250 2.0.0 OK: queued")


async def serve(options):
    async def client(reader, writer):
        try:
            await Session(reader, writer, options).run()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            announce("CLOSED")
            writer.close()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if options.scenario in ("stall-data", "early-reply"):
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    listener.bind(("127.0.0.1", options.port))
    server = await asyncio.start_server(client, sock=listener)
    announce(f"LISTENING {server.sockets[0].getsockname()[1]}")
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    async with server:
        await stop.wait()


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free port)")
    p.add_argument("--scenario", choices=SCENARIOS, required=True)
    p.add_argument("--interval", type=float, default=1.0, help="seconds between drip-fed lines")
    options = p.parse_args(argv)
    try:
        asyncio.run(serve(options))
    except OSError as e:
        print(f"Cannot start the server: {e}", file=sys.stderr, flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
