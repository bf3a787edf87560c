#!/usr/bin/python3
"""A small SMTP server on 127.0.0.1 that keeps every message it receives.

Run it to try Mirabo without a real mail account:

    /usr/bin/python3 scripts/local_smtp_server.py --port 2525 --store ~/mirabo-mail

then set Mirabo's SMTP server to "localhost:2525". Each message is stored as
one .eml file, exactly the bytes received; Ctrl+C stops the server.

stdout carries one line per event, for programs that run the server:
    LISTENING <port>
    HELLO <name>                   the argument of each EHLO or HELO
    ENVELOPE <from> <to,...>       (with --show-envelope, before RECEIVED)
    RECEIVED <path> <subject>      (subject decoded, runs of white space as one)
A message is named there before the server answers 250 to it. Everything
meant for people goes to stderr.

The other options make the server misbehave on purpose, for tests.
"""

import argparse
import asyncio
import datetime
import email.parser
import email.policy
import ipaddress
import logging
import os
import signal
import ssl
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

SERVER_NAME = "mirabo-local-smtp"


def say(text):
    print(text, file=sys.stderr, flush=True)


def announce(text):
    print(text, flush=True)


def subject_of(data):
    try:
        headers = email.parser.BytesHeaderParser(policy=email.policy.default).parsebytes(data)
        return " ".join(str(headers.get("Subject", "")).split())
    except Exception:
        return "(unreadable subject)"


class MessageStore:
    """Keeps messages as numbered files, never overwriting an older one."""

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        os.makedirs(self.folder, exist_ok=True)
        self.count = 0

    def keep(self, data):
        stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
        n = 1
        while True:
            path = os.path.join(self.folder, f"{stamp}-{n:03d}.eml")
            try:
                with open(path, "xb") as f:
                    f.write(data)
                self.count += 1
                return path
            except FileExistsError:
                n += 1


class Handler:
    def __init__(self, store, options):
        self.store = store
        self.options = options

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if self.options.stall == "mail":
            await stall_forever()
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.options.refused_recipients:
            say(f"Refused recipient {address}")
            return f"550 5.1.1 <{address}>: recipient refused by this server"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.options.stall == "end":
            await stall_forever()
        if self.options.refuse_message:
            say(f"Refused a message from {envelope.mail_from}")
            return "552 5.3.4 Message refused: too big for this mailbox"
        data = envelope.original_content
        if self.options.show_envelope:
            announce(f"ENVELOPE {envelope.mail_from} {','.join(envelope.rcpt_tos)}")
        path = self.store.keep(data)
        subject = subject_of(data)
        announce(f"RECEIVED {path} {subject}")
        say(f"Message {self.store.count}: {envelope.mail_from} -> "
            f"{', '.join(envelope.rcpt_tos)}, {len(data)} bytes, \"{subject}\"")
        return f"250 OK: stored as {os.path.basename(path)}"


class Authenticator:
    def __init__(self, user, password):
        self.user = user.encode()
        self.password = password.encode()

    def __call__(self, server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == self.user and auth_data.password == self.password)
        if not ok:
            say(f"Refused a login ({mechanism})")
        return AuthResult(success=ok, handled=False)


class TestableSMTP(SMTP):
    """aiosmtpd's server with the DATA faults the tests need."""

    def __init__(self, *args, options, **kwargs):
        super().__init__(*args, **kwargs)
        self.options = options

    async def smtp_EHLO(self, hostname):
        return await self.hello(hostname, super().smtp_EHLO)

    async def smtp_HELO(self, hostname):
        return await self.hello(hostname, super().smtp_HELO)

    async def hello(self, hostname, answer):
        announce(f"HELLO {hostname}")
        if self.options.require_fqdn_helo and hostname and not fully_qualified(hostname):
            return await self.push(f"504 5.5.2 <{hostname}>: Helo command rejected: "
                                   "need fully-qualified hostname")
        return await answer(hostname)

    async def smtp_DATA(self, arg):
        if self.options.stall == "data" or self.options.hang_up_in_data:
            if not self.envelope.rcpt_tos or not self.session.host_name:
                return await super().smtp_DATA(arg)
            await self.push("354 End data with <CR><LF>.<CR><LF>")
            if self.options.stall == "data":
                await stall_forever()
            # Take a little of the message, then drop the line.
            try:
                await self._reader.read(4096)
            finally:
                say("Hung up in the middle of a message")
                self.transport.close()
            return
        return await super().smtp_DATA(arg)


def fully_qualified(name):
    """What Postfix's reject_non_fqdn_helo_hostname lets through: an address
    literal, or a name of at least two labels."""
    if name.startswith("[") and name.endswith("]"):
        literal = name[1:-1]
        try:
            if literal[:5].lower() == "ipv6:":
                return ipaddress.ip_address(literal[5:]).version == 6
            return ipaddress.ip_address(literal).version == 4
        except ValueError:
            return False
    labels = name[:-1].split(".") if name.endswith(".") else name.split(".")
    return len(labels) >= 2 and all(
        label and all(c.isascii() and (c.isalnum() or c in "-_") for c in label) for label in labels)


async def stall_forever():
    say("Stalling: no more answers on this connection")
    await asyncio.Event().wait()


async def silent_client(reader, writer):
    say("Stalling: a client connected, no greeting sent")
    try:
        await reader.read()  # until the client gives up
    finally:
        writer.close()


def tls_context(options):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(options.cert, options.key)
    if options.require_sni:
        def check_name(ssl_socket, server_name, ssl_context):
            if server_name != options.require_sni:
                say(f"Refused a TLS client that asked for {server_name or 'no name (no SNI)'}")
                return ssl.ALERT_DESCRIPTION_UNRECOGNIZED_NAME
            return None
        context.sni_callback = check_name
    return context


async def serve(options):
    store = MessageStore(options.store)
    handler = Handler(store, options)
    context = tls_context(options) if options.tls != "none" else None
    loop = asyncio.get_running_loop()

    def new_session():
        kwargs = dict(hostname=SERVER_NAME, ident="Mirabo local SMTP server", options=options)
        if options.tls == "starttls":
            kwargs.update(tls_context=context, require_starttls=True)
        if options.user is not None:
            kwargs.update(authenticator=Authenticator(options.user, options.password),
                          auth_required=True,
                          # aiosmtpd does not see implicit TLS as TLS; the line
                          # is encrypted all the same.
                          auth_require_tls=options.tls == "starttls")
        return TestableSMTP(handler, **kwargs)

    implicit = context if options.tls == "implicit" else None
    if options.stall == "greeting":
        server = await asyncio.start_server(silent_client, "127.0.0.1", options.port, ssl=implicit)
    else:
        server = await loop.create_server(new_session, "127.0.0.1", options.port, ssl=implicit)
    port = server.sockets[0].getsockname()[1]

    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)

    announce(f"LISTENING {port}")
    security = {"none": "no TLS", "starttls": "STARTTLS", "implicit": "TLS from the start"}[options.tls]
    login = f", login as {options.user}" if options.user is not None else ""
    say(f"Local SMTP server on 127.0.0.1:{port} ({security}{login}); "
        f"messages go to {store.folder}. Press Ctrl+C to stop.")

    async with server:
        await stop.wait()
    say(f"Stopped after {store.count} message{'s' if store.count != 1 else ''}.")


def parse_arguments(argv):
    p = argparse.ArgumentParser(description="Local SMTP server that stores what it receives.")
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free port)")
    p.add_argument("--store", required=True, help="folder for the received messages")
    p.add_argument("--tls", choices=["none", "starttls", "implicit"], default="none",
                   help="offer STARTTLS, or speak TLS from the start")
    p.add_argument("--cert", help="certificate chain (PEM) for TLS")
    p.add_argument("--key", help="private key (PEM) for TLS")
    p.add_argument("--require-sni", metavar="NAME",
                   help="refuse a TLS client that does not ask for this server name (SNI)")
    p.add_argument("--show-envelope", action="store_true",
                   help="print each message's envelope on stdout")
    p.add_argument("--user", help="require a login (PLAIN or LOGIN) with this user name")
    p.add_argument("--password", default="", help="the password for --user")
    p.add_argument("--refuse-recipient", action="append", default=[], metavar="ADDRESS",
                   help="answer RCPT for this address with 550")
    p.add_argument("--refuse-message", action="store_true",
                   help="answer every message with 552 after its data")
    p.add_argument("--require-fqdn-helo", action="store_true",
                   help="refuse an EHLO or HELO name that is neither fully qualified nor an "
                        "address literal, as Postfix's reject_non_fqdn_helo_hostname does")
    p.add_argument("--hang-up-in-data", action="store_true",
                   help="close the connection in the middle of a message")
    p.add_argument("--stall", choices=["greeting", "mail", "data", "end"],
                   help="stop answering: before the greeting, at MAIL, right after DATA's "
                        "354, or after the whole message")
    p.add_argument("--verbose", action="store_true", help="show aiosmtpd's own log")
    options = p.parse_args(argv)
    if options.tls != "none" and not (options.cert and options.key):
        p.error("--tls needs --cert and --key")
    options.refused_recipients = {a.lower() for a in options.refuse_recipient}
    return options


def main(argv):
    options = parse_arguments(argv)
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(errors="backslashreplace")
    logging.basicConfig(level=logging.INFO if options.verbose else logging.ERROR,
                        format="%(name)s: %(message)s")
    # Login without TLS is what the plain test set-up wants.
    warnings.filterwarnings("ignore", message="Requiring AUTH while not requiring TLS")
    try:
        asyncio.run(serve(options))
    except OSError as e:
        say(f"Cannot start the server: {e}")
        return 1
    except KeyboardInterrupt:  # Ctrl+C before the server was up
        say("Stopped.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
