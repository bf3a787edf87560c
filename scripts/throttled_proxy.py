#!/usr/bin/python3
"""A TCP proxy on 127.0.0.1 that passes what the client sends at a limited rate,
like a slow uplink: the client's bytes are acknowledged only as they go on.

    /usr/bin/python3 scripts/throttled_proxy.py --target 2525 --rate 300000

stdout: "LISTENING <port>" once it accepts connections.
"""

import argparse
import asyncio
import signal
import socket
import sys
import time

# The proxy's receive buffer is kept small so that its kernel does not take,
# and acknowledge, more than the link would have carried.
RECEIVE_BUFFER = 16384
SLICE = 0.02  # seconds per step of the rate limit


async def pump(reader, writer, rate=None):
    try:
        start = time.monotonic()
        sent = 0
        while True:
            chunk = await reader.read(int(rate * SLICE) if rate else 65536)
            if not chunk:
                break
            writer.write(chunk)
            await writer.drain()
            if rate:
                sent += len(chunk)
                ahead = sent / rate - (time.monotonic() - start)
                if ahead > 0:
                    await asyncio.sleep(ahead)
    except ConnectionError:
        pass
    finally:
        writer.close()


async def serve(options):
    async def client(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", options.target)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, server_writer, options.rate),
                             pump(server_reader, client_writer))

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER)
    listener.bind(("127.0.0.1", options.port))
    server = await asyncio.start_server(client, sock=listener, limit=RECEIVE_BUFFER)
    print(f"LISTENING {server.sockets[0].getsockname()[1]}", flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    async with server:
        await stop.wait()


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free port)")
    p.add_argument("--target", type=int, required=True, help="the server's port on 127.0.0.1")
    p.add_argument("--rate", type=float, required=True, help="bytes per second from client to server")
    options = p.parse_args(argv)
    try:
        asyncio.run(serve(options))
    except OSError as e:
        print(f"Cannot start the proxy: {e}", file=sys.stderr, flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
