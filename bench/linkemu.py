#!/usr/bin/env python3
"""A slow link in front of an origin, in user space: a TCP relay on loopback whose
two directions each have a one-way delay and a rate that all connections share.

  linkemu.py --listen PORT [--listen-host HOST]... --origin HOST:PORT --rtt-ms N
             [--down-mbit X] [--up-mbit Y] [--stats FILE]

Every connection accepted on PORT is joined to the origin. "down" is the origin
toward the client, "up" the client toward the origin.

- Handshake: a real client sends nothing until the SYN-ACK, one round trip after its
  SYN. Here the accept on loopback is instant and the client writes at once, so the
  relay opens the origin connection, and starts reading the client, one RTT after the
  accept: the client's first bytes reach the origin 1.5 RTT after it connected, its
  first answer comes back at 2 RTT, as over the real link.
- Rate: each direction is one bottleneck shared by every connection: pieces of at
  most SLICE bytes take their size / rate of the link's time, one after another,
  taken from the connections with data waiting in turn (round robin, as parallel TCP
  flows share a bottleneck); no burst goes faster than the rate. No rate: no limit.
- Delay: a piece leaves the far end RTT/2 after it finished crossing the bottleneck.
  Each connection's bytes keep their order; an end of stream (half close) travels
  behind its data the same way.
- Memory: a direction holding more than QUEUE_LIMIT bytes read and not yet delivered
  stops reading from all its connections until it falls below.
- Counts: the bytes delivered each way and the connections accepted. SIGUSR1 writes
  them to FILE (one line of KEY=VALUE words, with a serial that each write raises);
  SIGTERM, SIGINT and the end write them once more and stop.

Not emulated: packet loss, TCP's slow start and congestion window (the origin's
writes are taken at once and wait in the relay's queue, as in an overlarge router
buffer), jitter, and any limit on the number of connections. Standard library only.
"""

import argparse
import asyncio
import collections
import os
import signal
import sys
import time

SLICE = 4096
READ_SIZE = 65536
QUEUE_LIMIT = 4 * 1024 * 1024
EOF = b""  # a piece of no bytes: the sender's end of stream


class Direction:
    """One direction of the link: its bottleneck, its delay and its counts."""

    def __init__(self, mbit, delay):
        self.rate = mbit * 1e6 / 8 if mbit else 0.0  # bytes per second; 0: no limit
        self.delay = delay
        self.delivered = 0
        self.queued = 0
        self.waiting = collections.deque()  # flows with pieces to put on the link
        self.wake = asyncio.Event()
        self.room = asyncio.Event()
        self.room.set()

    def offer(self, flow, data):
        self.queued += len(data)
        if self.queued > QUEUE_LIMIT:
            self.room.clear()
        if not self.rate:
            flow.arrive(time.monotonic() + self.delay, data)
            return
        for i in range(0, max(len(data), 1), SLICE):
            flow.pending.append(data[i:i + SLICE])
        if flow not in self.waiting:
            self.waiting.append(flow)
        self.wake.set()

    def done(self, n):
        self.delivered += n
        self.forget(n)

    def forget(self, n):
        self.queued -= n
        if self.queued <= QUEUE_LIMIT:
            self.room.set()

    async def run(self):
        """The bottleneck: one piece at a time, at the rate. Its clock runs ahead of
        the real one while pieces wait, so a late wake-up costs no link time."""
        clock = time.monotonic()
        while True:
            if not self.waiting:
                self.wake.clear()
                await self.wake.wait()
                clock = max(clock, time.monotonic())
            flow = self.waiting.popleft()
            if flow.closed:
                continue
            piece = flow.pending.popleft()
            clock += len(piece) / self.rate
            flow.arrive(clock + self.delay, piece)
            if flow.pending:
                self.waiting.append(flow)
            ahead = clock - time.monotonic()
            if ahead > 0:
                await asyncio.sleep(ahead)


class Flow:
    """One connection's bytes in one direction: read from one socket, put on the
    link, written to the other socket when their time comes."""

    def __init__(self, direction, reader, writer):
        self.direction = direction
        self.reader = reader
        self.writer = writer
        self.pending = collections.deque()  # pieces not yet on the link
        self.in_flight = collections.deque()  # (time due, piece), in order
        self.landed = asyncio.Event()
        self.closed = False

    def arrive(self, due, piece):
        self.in_flight.append((due, piece))
        self.landed.set()

    async def read(self):
        while True:
            await self.direction.room.wait()
            try:
                data = await self.reader.read(READ_SIZE)
            except OSError:
                data = EOF
            self.direction.offer(self, data)
            if not data:
                return

    async def write(self):
        while True:
            if not self.in_flight:
                self.landed.clear()
                await self.landed.wait()
            ahead = self.in_flight[0][0] - time.monotonic()
            if ahead > 0:
                await asyncio.sleep(ahead)
            # Everything due by now goes out in one write.
            now = time.monotonic()
            out = []
            ended = False
            while self.in_flight and self.in_flight[0][0] <= now:
                piece = self.in_flight.popleft()[1]
                if not piece:
                    ended = True
                    break
                out.append(piece)
            if out:
                data = b"".join(out)
                self.writer.write(data)
                self.direction.done(len(data))
                await self.writer.drain()
            if ended:
                if self.writer.can_write_eof():
                    self.writer.write_eof()
                return

    def drop(self):
        """The connection is gone: what it still holds leaves the queue count."""
        self.closed = True
        held = sum(len(p) for p in self.pending) + sum(len(p) for _, p in self.in_flight)
        self.pending.clear()
        self.in_flight.clear()
        self.direction.forget(held)


class Link:
    def __init__(self, args):
        self.origin_host, _, port = args.origin.rpartition(":")
        self.origin_port = int(port)
        self.rtt = args.rtt_ms / 1000.0
        self.down = Direction(args.down_mbit, self.rtt / 2)
        self.up = Direction(args.up_mbit, self.rtt / 2)
        self.stats = args.stats
        self.connections = 0
        self.live = set()  # the connections' tasks
        self.serial = 0

    def write_stats(self):
        if not self.stats:
            return
        self.serial += 1
        tmp = self.stats + ".tmp"
        with open(tmp, "w") as f:
            f.write("down=%d up=%d connections=%d serial=%d\n"
                    % (self.down.delivered, self.up.delivered, self.connections, self.serial))
        os.replace(tmp, self.stats)  # a reader never sees half a line

    async def serve(self, client_reader, client_writer):
        self.connections += 1
        self.live.add(asyncio.current_task())
        tasks = []
        flows = []
        origin_writer = None
        try:
            await asyncio.sleep(self.rtt)  # the SYN and SYN-ACK
            origin_reader, origin_writer = await asyncio.open_connection(self.origin_host, self.origin_port)
            flows = [Flow(self.up, client_reader, origin_writer),
                     Flow(self.down, origin_reader, client_writer)]
            tasks = [asyncio.ensure_future(c) for f in flows for c in (f.read(), f.write())]
            # Done when both ends of stream are delivered, or either side fails.
            writes = [tasks[1], tasks[3]]
            await asyncio.wait(writes, return_when=asyncio.FIRST_EXCEPTION)
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
        except (OSError, asyncio.CancelledError):
            pass  # the origin refused, or the relay stops: the connection ends here
        finally:
            for t in tasks:
                t.cancel()
            for f in flows:
                f.drop()
            for w in (client_writer, origin_writer):
                if w is not None:
                    w.close()
            self.live.discard(asyncio.current_task())

    async def main(self, hosts, port):
        loop = asyncio.get_running_loop()
        stop = asyncio.Event()
        loop.add_signal_handler(signal.SIGUSR1, self.write_stats)
        for s in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(s, stop.set)
        runners = [asyncio.ensure_future(d.run()) for d in (self.down, self.up) if d.rate]
        server = await asyncio.start_server(self.serve, hosts, port)
        self.write_stats()
        await stop.wait()
        # Not waiting for the connections still open: the counts are what crossed.
        server.close()
        self.write_stats()
        for t in list(self.live) + runners:
            t.cancel()
        await asyncio.gather(*self.live, *runners, return_exceptions=True)


def read_stats(pid, path, timeout=5.0):
    """Asks the relay with process id `pid` for its counts and returns them as a dict
    of ints, waiting for a write newer than the one already in `path`."""
    def load():
        try:
            with open(path) as f:
                return dict((k, int(v)) for k, v in (w.split("=") for w in f.read().split()))
        except (OSError, ValueError):
            return {}
    before = load().get("serial", 0)
    os.kill(pid, signal.SIGUSR1)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        now = load()
        if now.get("serial", 0) > before:
            return now
        time.sleep(0.005)
    raise RuntimeError("the link emulator %d wrote no counts to %s" % (pid, path))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--listen", type=int, required=True, metavar="PORT")
    p.add_argument("--listen-host", action="append", metavar="HOST",
                   help="address to listen on (repeatable; 127.0.0.1 when none)")
    p.add_argument("--origin", required=True, metavar="HOST:PORT")
    p.add_argument("--rtt-ms", type=float, default=0.0, metavar="N")
    p.add_argument("--down-mbit", type=float, default=0.0, metavar="X", help="0: no limit")
    p.add_argument("--up-mbit", type=float, default=0.0, metavar="Y", help="0: no limit")
    p.add_argument("--stats", metavar="FILE")
    args = p.parse_args()
    if args.rtt_ms < 0 or args.down_mbit < 0 or args.up_mbit < 0:
        p.error("delays and rates cannot be negative")
    asyncio.run(Link(args).main(args.listen_host or ["127.0.0.1"], args.listen))
    return 0


if __name__ == "__main__":
    sys.exit(main())
