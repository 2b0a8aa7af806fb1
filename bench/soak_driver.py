#!/usr/bin/env python3
"""Soak and load driver for velkaro_redi (Python standard library only).

Copies the executable into a fresh folder with 256 ports (tcpclient,
tcpserver and udp; raw and framed), starts it with -platform offscreen and
plays every peer and every serial program itself, on loopback only:

  * each port carries sequence-numbered records both ways; every record holds
    its port, direction, sequence number and the tags of the session it was
    sent in (serial open count, connection id), its payload is derived from
    those numbers and covered by a CRC, so loss, corruption, duplication and
    reordering are seen byte-exactly;
  * tcpclient peers (the servers the bridge connects to) close and come back;
    tcpserver clients replace each other about every second; udp peers close
    their socket and come back; serial programs close and reopen their ports;
  * udp datagrams take every size from 0 to 1024 bytes in turn; framed peers
    write their frames in pieces cut at every offset in turn.

What counts as a fault (bytes the rules promise to deliver):
  * within one TCP connection, while the serial program keeps the port open
    and (framed ports) after the peer's registration was acknowledged, every
    record arrives, whole and in order, in both directions;
  * on udp the same holds between bridge reconnections, except datagrams lost
    by UDP itself, which are counted separately (on loopback: expected 0);
  * no record is ever duplicated, reordered or altered, anywhere;
  * bytes that are not records may appear only where a session changed (a
    record cut by a connection's end or a serial close), never inside one;
  * ports that never churn (a quarter of them) deliver every record sent,
    to the last one, once the run drains.
Bytes sent while the serial program has its port closed are discarded by
design; if they turn up later they are reported as "stale", not as a fault.

It also samples the program's descriptors (/proc/PID/fd), resident memory
(VmRSS) and threads, times the stop after SIGTERM, and scans standard error
for sanitizer reports. Exit status: 0 clean, 1 faults found, 2 setup failure.
"""

import argparse
import collections
import errno
import json
import os
import random
import re
import selectors
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

TCPCLIENT, TCPSERVER, UDP = 0, 1, 2
MODE_NAMES = ("tcpclient", "tcpserver", "udp")
SER2NET, NET2SER = 0, 1
DIR_NAMES = ("serial->net", "net->serial")

MAGIC = b"\xF0\x9F\x5A\xA5"
HDR = struct.Struct("<4sHBBIIIH")  # magic, port, dir, flags, epoch, conn, seq, len
CRC = struct.Struct("<I")
HDR_LEN = HDR.size + CRC.size
MAX_PAYLOAD = 500
FLAG_UNPROMISED = 1

PATTERN = random.Random(0x5EED).randbytes(1 << 20)

FRAME_REGISTER, FRAME_ACK, FRAME_DATA = 0, 3, 4
FRAME_KEEPALIVE, FRAME_KEEPALIVE_ACK, FRAME_CLOSE, FRAME_CLOSE_ACK = 16, 17, 19, 20

TICK = 0.05


def payload_of(port, direction, seq):
    h = (seq * 2654435761 + port * 40503 + direction * 104729) & 0xFFFFFFFF
    n = 1 + h % MAX_PAYLOAD
    off = ((h >> 7) * 7919 + seq) % (len(PATTERN) - MAX_PAYLOAD)
    return PATTERN[off:off + n]


def record_len(port, direction, seq):
    h = (seq * 2654435761 + port * 40503 + direction * 104729) & 0xFFFFFFFF
    return HDR_LEN + 1 + h % MAX_PAYLOAD


def make_record(port, direction, seq, epoch, conn, flags):
    body = payload_of(port, direction, seq)
    head = HDR.pack(MAGIC, port, direction, flags, epoch, conn, seq, len(body))
    return head + CRC.pack(zlib.crc32(body, zlib.crc32(head))) + body


def frame(ftype, name, payload=b""):
    length = len(name) + 1 + len(payload)
    return bytes((0x7E, ftype, length >> 8, length & 0xFF)) + name + b"\0" + payload + b"\x7E"


class Stats:
    """Counters of one port and direction."""

    def __init__(self):
        self.sent_bytes = 0       # record bytes made and queued for sending
        self.sent_records = 0
        self.recv_bytes = 0       # bytes of whole, valid records received
        self.recv_records = 0
        self.lost_promised = 0    # records missing inside a promised stretch: FAULT
        self.lost_promised_bytes = 0
        self.lost_udp = 0         # udp: missing with no reconnection nearby
        self.lost_boundary = 0    # records missing where a session changed
        self.corrupt = 0          # altered records or stray bytes inside a session: FAULT
        self.corrupt_bytes = 0
        self.disorder = 0         # duplicated or reordered records: FAULT
        self.boundary_garbage = 0  # bytes of records cut where a session changed
        self.stale = 0            # net->serial records sent while the port was closed
        self.tail_missing = 0     # steady ports: records sent but never received: FAULT
        self.unique = 0
        self.discarded_closed = 0  # net->serial records made while the port was closed, never seen


class Track:
    """One direction of one port over the whole run: which records arrived."""

    def __init__(self, port, direction, stats, world):
        self.port = port
        self.direction = direction
        self.st = stats
        self.world = world
        self.seen = bytearray()
        self.made_closed = bytearray()  # net->serial: made while the port was closed

    def mark(self, seq):
        """False when the record had already arrived."""
        if seq >= len(self.seen):
            self.seen.extend(bytes(max(4096, seq + 1 - len(self.seen))))
        if self.seen[seq]:
            return False
        self.seen[seq] = 1
        return True

    def unique(self):
        return self.seen.count(1)

    def discarded_closed(self):
        seen = self.seen + bytes(max(0, len(self.made_closed) - len(self.seen)))
        return sum(1 for i, c in enumerate(self.made_closed) if c and not seen[i])


class Receiver:
    """Checks one receiving session (a serial open, or one network
    connection) of one direction of one port."""

    def __init__(self, track, session):
        self.t = track
        self.st = track.st
        self.session = session
        self.buf = bytearray()
        self.last = None          # (seq, epoch, conn, flags, time) of the last record
        self.pending_garbage = 0

    def finish(self):
        self.st.boundary_garbage += len(self.buf) + self.pending_garbage
        self.buf.clear()
        self.pending_garbage = 0

    def _garbage(self, n):
        if self.last is None:
            self.st.boundary_garbage += n
        else:
            self.pending_garbage += n

    def feed(self, data):
        w = self.t.world
        if w.inject and self.t.port % 64 == 0 and len(data) > 64 and w.inject_rng.random() < 0.02:
            # The checker's own check: a flipped bit or a hole it must report.
            i = w.inject_rng.randrange(len(data) - 40)
            if w.inject_rng.random() < 0.5:
                data = data[:i] + bytes([data[i] ^ 0x20]) + data[i + 1:]
            else:
                data = data[:i] + data[i + 40:]
            w.counts["faults injected"] += 1
        buf = self.buf
        buf += data
        pos = 0
        end = len(buf)
        while end - pos >= HDR_LEN:
            if buf[pos:pos + 4] != MAGIC:
                i = buf.find(MAGIC, pos + 1)
                skip = (i if i >= 0 else max(pos, end - 3)) - pos
                if skip == 0:
                    break
                self._garbage(skip)
                pos += skip
                continue
            magic, port, direction, flags, epoch, conn, seq, length = HDR.unpack_from(buf, pos)
            if length > MAX_PAYLOAD or length == 0:
                self._garbage(1)
                pos += 1
                continue
            if end - pos < HDR_LEN + length:
                break
            (crc,) = CRC.unpack_from(buf, pos + HDR.size)
            body = bytes(buf[pos + HDR_LEN:pos + HDR_LEN + length])
            if zlib.crc32(body, zlib.crc32(buf[pos:pos + HDR.size])) != crc:
                self._garbage(1)
                pos += 1
                continue
            if (port != self.t.port or direction != self.t.direction or
                    body != payload_of(port, direction, seq)):
                # A well-formed record that is not ours: streams mixed up.
                self.st.corrupt += 1
                self.st.corrupt_bytes += HDR_LEN + length
                self.t.world.note_fault(self.t.port, "%s: a record of port %d direction %d arrived here"
                                        % (DIR_NAMES[self.t.direction], port, direction))
                pos += HDR_LEN + length
                continue
            self._record(seq, epoch, conn, flags, HDR_LEN + length)
            pos += HDR_LEN + length
        del buf[:pos]

    def _promised(self, a, epoch, conn, flags):
        if a[1] != epoch or a[2] != conn or (a[3] | flags) & FLAG_UNPROMISED:
            return False
        # net->serial: sent while this very open of the port lasted
        return self.t.direction == SER2NET or epoch == self.session

    def _record(self, seq, epoch, conn, flags, size):
        st = self.st
        t = self.t
        now = time.monotonic()
        st.recv_records += 1
        st.recv_bytes += size
        if t.direction == NET2SER and epoch % 2 == 1:
            st.stale += 1
        if not t.mark(seq) or (self.last is not None and seq <= self.last[0]):
            st.disorder += 1
            t.world.note_fault(t.port, "%s: record %d duplicated or out of order"
                               % (DIR_NAMES[t.direction], seq))
            return
        a = self.last
        promised = a is not None and self._promised(a, epoch, conn, flags)
        if self.pending_garbage:
            if promised:
                st.corrupt += 1
                st.corrupt_bytes += self.pending_garbage
                t.world.note_fault(t.port, "%s: %d stray bytes between records %d and %d of one session"
                                   % (DIR_NAMES[t.direction], self.pending_garbage, a[0], seq))
            else:
                st.boundary_garbage += self.pending_garbage
            self.pending_garbage = 0
        if promised and seq > a[0] + 1:
            missing = [s for s in range(a[0] + 1, seq) if s >= len(t.seen) or not t.seen[s]]
            if not missing:
                pass
            elif t.world.udp_reconnected(t.port, a[4] - 3.0, now + 0.5):
                pass  # the bridge made its udp connection anew: a boundary
            elif t.world.ports[t.port].mode == UDP:
                st.lost_udp += len(missing)
            else:
                st.lost_promised += len(missing)
                st.lost_promised_bytes += sum(record_len(t.port, t.direction, s) for s in missing)
                t.world.note_fault(t.port, "%s: %d records lost inside one session "
                                   "(seq %d..%d, epoch %d, conn %d)" % (
                                       DIR_NAMES[t.direction], len(missing), missing[0], missing[-1],
                                       epoch, conn))
        self.last = (seq, epoch, conn, flags, now)


class FrameParser:
    """Frames from the bridge on one connection: data goes to the receiver,
    controls to the port."""

    def __init__(self, name, on_data, on_control, stats):
        self.name = name + b"\0"
        self.buf = bytearray()
        self.on_data = on_data
        self.on_control = on_control
        self.st = stats
        self.synced = False
        self.bad = 0

    def feed(self, data):
        buf = self.buf
        buf += data
        pos, end = 0, len(buf)
        while end - pos >= 5:
            if buf[pos] != 0x7E:
                # A new connection starts on a frame; mid-stream junk is a fault.
                i = buf.find(b"\x7E", pos + 1)
                skip = (i if i >= 0 else end) - pos
                self.bad += skip
                pos += skip
                continue
            ftype = buf[pos + 1]
            length = (buf[pos + 2] << 8) | buf[pos + 3]
            if ftype == 0x7E:
                pos += 1
                continue
            if length > 1100:
                self.bad += 1
                pos += 1
                continue
            if end - pos < length + 5:
                break
            if buf[pos + 4 + length] != 0x7E or bytes(buf[pos + 4:pos + 4 + len(self.name)]) != self.name:
                self.bad += 1
                pos += 1
                continue
            body = bytes(buf[pos + 4 + len(self.name):pos + 4 + length])
            pos += length + 5
            if ftype == FRAME_DATA:
                self.on_data(body)
            else:
                self.on_control(ftype)
        del buf[:pos]


class Outgoing:
    """Bytes waiting for a socket: whole units (records or frames) in a queue,
    sent in pieces cut wherever the piece size falls."""

    def __init__(self):
        self.cur = b""
        self.queue = collections.deque()  # (bytes, is data)
        self.size = 0

    def push(self, data, front=False, control=False):
        if front:
            self.queue.appendleft((data, not control))
        else:
            self.queue.append((data, not control))
        self.size += len(data)

    def drop_data(self):
        """Forgets the data units not yet begun; controls and the unit under
        way stay, so the peer's framing stays whole."""
        keep = collections.deque(u for u in self.queue if not u[1])
        self.size = len(self.cur) + sum(len(u[0]) for u in keep)
        self.queue = keep

    def take(self, n):
        out = []
        got = 0
        while got < n:
            if not self.cur:
                if not self.queue:
                    break
                self.cur = self.queue.popleft()[0]
            part = self.cur[:n - got]
            self.cur = self.cur[len(part):]
            out.append(part)
            got += len(part)
        self.size -= got
        return b"".join(out)

    def unread(self, data):
        self.cur = data + self.cur
        self.size += len(data)

    def clear(self):
        self.cur = b""
        self.queue.clear()
        self.size = 0


class Conn:
    """One network session of a port as the peer sees it."""

    def __init__(self, world, port, sock, cid):
        self.world = world
        self.port = port
        self.sock = sock
        self.cid = cid
        self.out = Outgoing()
        self.registered = not port.custom
        self.register_sent = 0.0
        self.closing_at = None   # half-closed by us: close for good after this
        self.replaced = False    # a newer tcpserver client exists: send nothing more
        self.opened = time.monotonic()
        self.rx = Receiver(port.track[SER2NET], ("net", cid))
        if port.custom:
            self.parser = FrameParser(port.name, self.rx.feed, self.control, port.stats[SER2NET])
            self.send_register()
        else:
            self.parser = None

    def send_register(self):
        self.out.push(frame(FRAME_REGISTER, self.port.name), front=True, control=True)
        self.register_sent = time.monotonic()

    def control(self, ftype):
        if ftype == FRAME_ACK:
            self.registered = True
        elif ftype == FRAME_KEEPALIVE:
            self.out.push(frame(FRAME_KEEPALIVE_ACK, self.port.name), front=True, control=True)
            self.world.counts["keepalive probes answered"] += 1
        elif ftype == FRAME_CLOSE:
            self.out.push(frame(FRAME_CLOSE_ACK, self.port.name), front=True, control=True)
            self.world.counts["close requests answered"] += 1

    def feed(self, data):
        if self.parser:
            self.parser.feed(data)
        else:
            self.rx.feed(data)

    def finish(self):
        self.rx.finish()
        if self.parser and self.parser.bad:
            self.world.note_fault(self.port.n, "serial->net: %d bytes outside frames on one connection"
                                  % self.parser.bad)
            self.port.stats[SER2NET].corrupt += 1
            self.port.stats[SER2NET].corrupt_bytes += self.parser.bad
        if self.parser:
            self.port.stats[SER2NET].boundary_garbage += len(self.parser.buf)


class Port:
    def __init__(self, world, n, base):
        self.world = world
        self.n = n
        self.mode = n % 3
        k = n // 3
        self.custom = k % 2 == 1
        self.churn = (k // 2) % 4            # 0 steady, 1 network, 2 serial, 3 both
        self.net_churn = self.churn in (1, 3)
        self.serial_churn = self.churn in (2, 3)
        self.chkdtr = self.churn == 3 and self.mode != UDP
        self.keepalive = 3 if self.custom and (k // 8) % 2 == 1 else 0
        if k % 10 == 1:
            name = ""
        elif k % 10 == 3:
            name = "LONGNAME%03d" % n
        else:
            name = "S%d" % n
        self.name = name[:11].encode()
        self.com = n + 1
        self.listen_port = base + n          # tcpclient peer / tcpserver bridge / udp bridge
        self.udp_peer_port = base + 256 + n  # udp peer
        self.rng = random.Random(1000 + n)
        self.stats = (Stats(), Stats())
        self.track = (Track(n, SER2NET, self.stats[SER2NET], world),
                      Track(n, NET2SER, self.stats[NET2SER], world))
        self.seq = [0, 0]
        self.credit = [0.0, 0.0]
        self.serial_rx = None
        # serial side
        self.serial_fd = None
        self.epoch = 1                       # odd: closed, even: open
        self.serial_out = Outgoing()
        self.serial_next = 0.0
        # network side
        self.listener = None
        self.conns = []                      # newest last
        self.udp = None
        self.net_next = 0.0
        self.piece = (n * 37) % 1400
        self.dgram = (n * 12) % 1025
        self.frame_size = 1 + n % 64

    # ---- options of the program ----
    def options_element(self):
        def b(v):
            return "TRUE" if v else "FALSE"
        if self.mode == TCPCLIENT:
            dst, dport, loc, lport = "127.0.0.1", self.listen_port, "0.0.0.0", 0
        elif self.mode == TCPSERVER:
            dst, dport, loc, lport = "0.0.0.0", 0, "127.0.0.1", self.listen_port
        else:
            dst, dport, loc, lport = "127.0.0.1", self.udp_peer_port, "127.0.0.1", self.listen_port
        tag = "COM%d" % self.com
        dev = "<DEVNAME>%s</DEVNAME>" % self.name.decode() if self.name else "<DEVNAME/>"
        return ("<{t}>\r\n<DSTADDR>{d}</DSTADDR>\r\n<DSTPORT>{dp}</DSTPORT>\r\n<LOCADDR>{l}</LOCADDR>\r\n"
                "<LOCPORT>{lp}</LOCPORT>\r\n<MODE>{m}</MODE>\r\n<USECUSTOM>{c}</USECUSTOM>\r\n"
                "<CHKDTR>{k}</CHKDTR>\r\n{dev}\r\n<KEEPALIVE>{ka}</KEEPALIVE>\r\n<IDLETIME>0</IDLETIME>\r\n"
                "</{t}>\r\n").format(t=tag, d=dst, dp=dport, l=loc, lp=lport, m=MODE_NAMES[self.mode],
                                     c=b(self.custom), k=b(self.chkdtr), dev=dev, ka=self.keepalive)

    # ---- serial program ----
    def serial_open(self, now):
        path = os.path.join(self.world.folder, "dev", "COM%d" % self.com)
        try:
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError as e:
            self.world.counts["serial open failed: " + e.strerror] += 1
            self.serial_next = now + 0.5
            return
        self.serial_fd = fd
        self.epoch += 1
        # Records made while the port was closed and not yet sent would reach
        # the new open only because this peer was slow: never send them.
        for c in self.conns + ([self.udp] if self.udp else []):
            c.out.drop_data()
        self.serial_rx = Receiver(self.track[NET2SER], self.epoch)
        self.world.sel.register(fd, selectors.EVENT_READ, ("serial", self))
        self.serial_next = now + self.rng.uniform(3, 12)

    def serial_close(self, now):
        if self.serial_fd is None:
            return
        self.world.sel.unregister(self.serial_fd)
        os.close(self.serial_fd)
        self.serial_fd = None
        self.epoch += 1
        self.serial_rx.finish()
        self.serial_rx = None
        self.serial_out.clear()   # the rest of a cut record goes nowhere
        self.serial_next = now + self.rng.uniform(0.3, 2.0)
        self.world.counts["serial closes"] += 1

    def serial_readable(self):
        try:
            data = os.read(self.serial_fd, 65536)
        except BlockingIOError:
            return
        except OSError as e:
            self.world.counts["serial read error: " + e.strerror] += 1
            return
        if data:
            self.serial_rx.feed(data)

    # ---- network peer ----
    def current(self):
        return self.conns[-1] if self.conns else None

    def net_up(self, now):
        try:
            self._net_up(now)
        except OSError as e:
            # Someone else took the port for a moment: try again shortly.
            self.world.counts["peer could not bind: " + e.strerror] += 1
            self.net_next = now + 1.0

    def _net_up(self, now):
        w = self.world
        if self.mode == TCPCLIENT:
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("127.0.0.1", self.listen_port))
            s.listen(8)
            s.setblocking(False)
            self.listener = s
            w.sel.register(s, selectors.EVENT_READ, ("listener", self))
            self.net_next = now + (self.rng.uniform(4, 15) if self.net_churn else 1e9)
        elif self.mode == TCPSERVER:
            self.tcpserver_connect(now)
        else:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                s.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)  # SO_RCVBUFFORCE
            except OSError:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("127.0.0.1", self.udp_peer_port))
            s.connect(("127.0.0.1", self.listen_port))
            s.setblocking(False)
            self.udp = Conn(w, self, s, w.next_cid())
            w.sel.register(s, selectors.EVENT_READ, ("udp", self))
            self.net_next = now + (self.rng.uniform(5, 15) if self.net_churn else 1e9)

    def net_down(self, now):
        w = self.world
        if self.mode == TCPCLIENT:
            if self.listener:
                w.sel.unregister(self.listener)
                self.listener.close()
                self.listener = None
            for c in self.conns:
                self.half_close(c, now)
            self.net_next = now + self.rng.uniform(0.5, 4)
        elif self.mode == UDP:
            if self.udp:
                self.udp.finish()
                w.sel.unregister(self.udp.sock)
                self.udp.sock.close()
                self.udp = None
            self.net_next = now + self.rng.uniform(0.5, 3)
        w.counts["peer goes away (%s)" % MODE_NAMES[self.mode]] += 1

    def half_close(self, c, now):
        if c.closing_at is None:
            c.replaced = True
            try:
                c.sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            c.closing_at = now + 2.0

    def tcpserver_connect(self, now):
        w = self.world
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.connect(("127.0.0.1", self.listen_port))
        except BlockingIOError:
            pass
        except OSError as e:
            w.counts["tcpserver connect failed: " + e.strerror] += 1
            s.close()
            self.net_next = now + 1.0
            return
        for old in self.conns:
            old.replaced = True   # the bridge will end it; read what still comes
            if old.closing_at is None:
                old.closing_at = now + 5.0
        c = Conn(w, self, s, w.next_cid())
        self.conns.append(c)
        w.sel.register(s, selectors.EVENT_READ, ("conn", (self, c)))
        if self.net_churn:
            self.net_next = now + (1.0 if self.n % 2 else self.rng.uniform(1.0, 2.5))
            w.counts["tcpserver client replaced"] += 1
        else:
            self.net_next = 1e18

    def accept(self, now):
        w = self.world
        try:
            s, _ = self.listener.accept()
        except (BlockingIOError, InterruptedError):
            return
        s.setblocking(False)
        for old in self.conns:
            self.half_close(old, now)
        c = Conn(w, self, s, w.next_cid())
        self.conns.append(c)
        w.sel.register(s, selectors.EVENT_READ, ("conn", (self, c)))
        w.counts["tcpclient connections accepted"] += 1

    def drop(self, c):
        c.finish()
        self.world.sel.unregister(c.sock)
        c.sock.close()
        self.conns.remove(c)

    def conn_readable(self, c, now):
        try:
            data = c.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            self.world.counts["tcp receive error: " + e.strerror] += 1
            data = b""
        if data:
            c.feed(data)
            return
        # The bridge ended this connection.
        self.drop(c)
        if self.mode == TCPSERVER and not self.conns and not self.world.draining:
            self.net_next = min(self.net_next, now + 0.2) if self.net_churn else now + 0.2

    def udp_readable(self):
        c = self.udp
        for _ in range(64):
            try:
                data = c.sock.recv(65536)
            except (BlockingIOError, InterruptedError):
                return
            except ConnectionRefusedError:
                self.world.counts["udp peer: bridge socket absent (ICMP)"] += 1
                continue
            c.feed(data)

    # ---- the periodic work ----
    def tick(self, now, generate):
        w = self.world
        if not w.draining:
            if self.serial_churn and now >= self.serial_next:
                if self.serial_fd is None:
                    self.serial_open(now)
                else:
                    self.serial_close(now)
            if now >= self.net_next:
                if self.mode == TCPSERVER:
                    self.tcpserver_connect(now)
                elif (self.listener or self.udp) is None:
                    self.net_up(now)
                else:
                    self.net_down(now)
        for c in list(self.conns):
            if c.closing_at is not None and now >= c.closing_at:
                self.drop(c)
        budget = w.rate * TICK
        self.tick_serial(generate, budget)
        self.tick_net(now, generate, budget)

    def tick_serial(self, generate, budget):
        if self.serial_fd is None:
            return
        out = self.serial_out
        if generate and out.size < 8192:
            cur = self.current() or self.udp
            cid = cur.cid if cur else 0
            self.credit[SER2NET] = min(self.credit[SER2NET] + budget, 4 * budget)
            st = self.stats[SER2NET]
            while self.credit[SER2NET] > 0:
                rec = make_record(self.n, SER2NET, self.seq[SER2NET], self.epoch, cid, 0)
                self.seq[SER2NET] += 1
                out.push(rec)
                self.credit[SER2NET] -= len(rec)
                st.sent_records += 1
                st.sent_bytes += len(rec)
        while out.size:
            chunk = out.take(4096)
            try:
                k = os.write(self.serial_fd, chunk)
            except BlockingIOError:
                k = 0
            except OSError as e:
                self.world.counts["serial write error: " + e.strerror] += 1
                k = 0
            if k < len(chunk):
                out.unread(chunk[k:])
                break

    def tick_net(self, now, generate, budget):
        c = self.udp if self.mode == UDP else self.current()
        if c is None or c.replaced or c.closing_at is not None:
            return
        if self.custom and not c.registered and now - c.register_sent > 2.0:
            c.send_register()
        if generate and c.registered and c.out.size < 8192:
            flags = 0 if self.serial_fd is not None else FLAG_UNPROMISED
            stream = []
            st = self.stats[NET2SER]
            self.credit[NET2SER] = min(self.credit[NET2SER] + budget, 4 * budget)
            while self.credit[NET2SER] > 0:
                if flags:
                    mc = self.track[NET2SER].made_closed
                    seq = self.seq[NET2SER]
                    if seq >= len(mc):
                        mc.extend(bytes(seq + 4096 - len(mc)))
                    mc[seq] = 1
                rec = make_record(self.n, NET2SER, self.seq[NET2SER], self.epoch, c.cid, flags)
                self.seq[NET2SER] += 1
                st.sent_records += 1
                st.sent_bytes += len(rec)
                stream.append(rec)
                self.credit[NET2SER] -= len(rec)
            data = b"".join(stream)
            if self.custom:
                # Frames of every payload size in turn, independent of records.
                room = 1024 - len(self.name) - 1
                while data:
                    self.frame_size = (self.frame_size + 37) % room
                    size = self.frame_size + 1
                    c.out.push(frame(FRAME_DATA, self.name, data[:size]))
                    data = data[size:]
            else:
                # One unit per record: a reopen then drops whole records only.
                for rec in stream:
                    c.out.push(rec)
        if self.mode == UDP:
            self.send_udp(c)
        else:
            self.send_tcp(c)

    def send_tcp(self, c):
        if not c.out.size:
            return
        # One piece per tick: a frame or record is cut wherever the piece ends,
        # and the cut pieces reach the bridge in separate reads.
        self.piece = (self.piece + 53) % 1400
        chunk = c.out.take(self.piece + 1)
        try:
            k = c.sock.send(chunk)
        except (BlockingIOError, InterruptedError):
            k = 0
        except OSError as e:
            self.world.counts["tcp send error: " + e.strerror] += 1
            k = 0
        if k < len(chunk):
            c.out.unread(chunk[k:])

    def send_udp(self, c):
        for _ in range(4):
            size = self.dgram
            if size > c.out.size:
                if not self.world.draining or not c.out.size:
                    return
                size = c.out.size
            chunk = c.out.take(size)
            try:
                c.sock.send(chunk)
            except (BlockingIOError, InterruptedError):
                c.out.unread(chunk)
                return
            except ConnectionRefusedError:
                # The bridge's socket is not there (between its connections):
                # the datagram that found it absent is gone; this one is kept.
                self.world.counts["udp peer: bridge socket absent (ICMP)"] += 1
                c.out.unread(chunk)
                return
            self.world.dgram_sizes.add(size)
            self.dgram = (self.dgram + 1) % 1025

    def close_all(self):
        w = self.world
        for c in list(self.conns):
            self.drop(c)
        if self.listener:
            w.sel.unregister(self.listener)
            self.listener.close()
            self.listener = None
        if self.udp:
            self.udp.finish()
            w.sel.unregister(self.udp.sock)
            self.udp.sock.close()
            self.udp = None
        if self.serial_fd is not None:
            w.sel.unregister(self.serial_fd)
            os.close(self.serial_fd)
            self.serial_fd = None
            self.serial_rx.finish()
            self.serial_rx = None


class World:
    def __init__(self, args):
        self.args = args
        self.rate = args.rate
        self.sel = selectors.DefaultSelector()
        self.counts = collections.Counter()
        self.faults = []
        self.cid = 0
        self.draining = False
        self.dgram_sizes = set()
        self.udp_connects = collections.defaultdict(list)  # port n -> times of bridge connects
        self.log_lines = collections.Counter()
        self.folder = None
        self.ports = []
        self.proc = None
        self.samples = []
        self.inject = args.inject
        self.inject_rng = random.Random(7)

    def next_cid(self):
        self.cid += 1
        return self.cid

    def note_fault(self, n, text):
        if len(self.faults) < 200:
            self.faults.append("COM%d (%s): %s" % (n + 1, MODE_NAMES[self.ports[n].mode], text))

    def udp_reconnected(self, n, t0, t1):
        return any(t0 <= t <= t1 for t in self.udp_connects.get(n, ()))


def find_base(count):
    """A run of loopback ports (TCP and UDP) that nobody holds."""
    rng = random.Random()
    for _ in range(50):
        base = rng.randrange(20000, 31000 - count)
        held = []
        ok = True
        for p in range(base, base + count):
            for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                s = socket.socket(socket.AF_INET, kind)
                try:
                    s.bind(("127.0.0.1", p))
                    held.append(s)
                except OSError:
                    ok = False
                    s.close()
                    break
            if not ok:
                break
        for s in held:
            s.close()
        if ok:
            return base
    raise SystemExit("no free run of loopback ports")


def proc_sample(pid):
    out = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(("VmRSS:", "Threads:")):
                    k, v = line.split(":", 1)
                    out[k] = int(v.split()[0])
        out["fds"] = len(os.listdir("/proc/%d/fd" % pid))
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        out["cpu_s"] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        pass
    return out


CONNECT_RE = re.compile(r'^Connect\("127\.0\.0\.1", "(\d+)"\) - OK')


def stdout_reader(stream, lines, logfile):
    for raw in iter(stream.readline, b""):
        t = time.monotonic()
        lines.append((t, raw))
        if logfile:
            logfile.write(raw)
    lines.append((time.monotonic(), None))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--exe", required=True, help="the built velkaro_redi")
    ap.add_argument("--duration", type=float, default=600, help="seconds of traffic (default 600)")
    ap.add_argument("--rate", type=int, default=2048, help="bytes per second per port and direction")
    ap.add_argument("--work", help="folder to run in (default: a new temporary one, removed after)")
    ap.add_argument("--json", help="write the figures here as JSON")
    ap.add_argument("--keep", action="store_true", help="keep the work folder and the program's logs")
    ap.add_argument("--stop-under-load", action="store_true",
                    help="send SIGTERM while every port still carries traffic (no quiet comparison)")
    ap.add_argument("--inject", action="store_true",
                    help="damage some received bytes on purpose: the run must then report faults")
    args = ap.parse_args()

    w = World(args)
    work = args.work or tempfile.mkdtemp(prefix="vr-soak-")
    os.makedirs(work, exist_ok=True)
    w.folder = work
    exe = os.path.join(work, "velkaro_redi")
    shutil.copy2(args.exe, exe)
    base = find_base(512)
    w.ports = [Port(w, n, base) for n in range(256)]
    pairs = "".join("%d\tPortName=COM%d,OverrunCheck=yes,BaudPacing=yes\n" % (p.n, p.com) for p in w.ports)
    with open(os.path.join(work, "pairs.dat"), "w") as f:
        f.write(pairs)
    doc = ("<OPTIONS>\r\n<SYSTEM>\r\n<ADDNEW>FALSE</ADDNEW>\r\n<STARTUP>TRUE</STARTUP>\r\n"
           "<DETECTDSR>FALSE</DETECTDSR>\r\n<AUTORUN>FALSE</AUTORUN>\r\n</SYSTEM>\r\n")
    doc += "".join(p.options_element() for p in w.ports) + "</OPTIONS>\r\n"
    with open(os.path.join(work, "options.dat"), "w", newline="") as f:
        f.write(doc)
    dst_to_port = {}
    for p in w.ports:
        if p.mode == UDP:
            dst_to_port[p.udp_peer_port] = p.n

    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
    stderr_path = os.path.join(work, "stderr.log")
    stderr_file = open(stderr_path, "wb")
    logfile = open(os.path.join(work, "stdout.log"), "wb") if args.keep else None
    t_start = time.monotonic()
    proc = subprocess.Popen([exe, "-platform", "offscreen"], cwd="/", env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr_file)
    w.proc = proc
    lines = collections.deque()
    reader = threading.Thread(target=stdout_reader, args=(proc.stdout, lines, logfile), daemon=True)
    reader.start()

    def pump_lines():
        while lines:
            t, raw = lines.popleft()
            if raw is None:
                continue
            text = raw.decode("latin-1").rstrip("\n")
            m = CONNECT_RE.match(text)
            if m and int(m.group(1)) in dst_to_port:
                n = dst_to_port[int(m.group(1))]
                w.udp_connects[n].append(t)
                if w.ports[n].custom and w.ports[n].udp:
                    w.ports[n].udp.registered = False
                    w.ports[n].udp.send_register()
            w.log_lines[re.sub(r"\d+", "N", text.split("(")[0])] += 1

    def crashed():
        return proc.poll() is not None

    # All 256 links must appear.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not crashed():
        pump_lines()
        if all(os.path.islink(os.path.join(work, "dev", "COM%d" % p.com)) for p in w.ports):
            break
        time.sleep(0.1)
    else:
        print("setup: the program did not make its 256 links (exit %s)" % proc.poll(), file=sys.stderr)
        proc.kill()
        return 2
    t_ready = time.monotonic() - t_start
    time.sleep(4)
    pump_lines()
    quiet_before = proc_sample(proc.pid)

    now = time.monotonic()
    for p in w.ports:
        p.net_up(now)
        if p.mode == TCPSERVER:
            p.net_next = now + (p.rng.uniform(1.0, 2.5) if p.net_churn else 1e18)
        p.serial_open(now)

    t0 = time.monotonic()
    t_end = t0 + args.duration
    warm_at = t0 + min(60.0, max(15.0, args.duration * 0.1))
    warm = None
    next_sample = t0
    next_progress = t0 + 30
    next_tick = t0
    dead = None
    while True:
        now = time.monotonic()
        if now >= t_end and not w.draining:
            w.draining = True
            drain_end = now + 8.0
        if w.draining and now >= drain_end:
            break
        for key, _ in w.sel.select(max(0.0, next_tick - now)):
            kind, obj = key.data
            if kind == "serial":
                obj.serial_readable()
            elif kind == "conn":
                port, c = obj
                if c in port.conns:
                    port.conn_readable(c, now)
            elif kind == "listener":
                obj.accept(now)
            elif kind == "udp":
                if obj.udp:
                    obj.udp_readable()
        now = time.monotonic()
        if now >= next_tick:
            next_tick = now + TICK
            pump_lines()
            generate = not w.draining
            for p in w.ports:
                p.tick(now, generate)
        if now >= next_sample:
            next_sample = now + 5
            s = proc_sample(proc.pid)
            if s:
                w.samples.append((round(now - t0, 1), s))
            if warm is None and now >= warm_at:
                warm = s
        if now >= next_progress:
            next_progress = now + 30
            sent = sum(p.stats[d].sent_bytes for p in w.ports for d in (0, 1))
            recv = sum(p.stats[d].recv_bytes for p in w.ports for d in (0, 1))
            s = w.samples[-1][1] if w.samples else {}
            print("[%4.0fs] sent %.1f MB received %.1f MB  fds %s rss %s kB  faults %d" % (
                now - t0, sent / 1e6, recv / 1e6, s.get("fds"), s.get("VmRSS"), len(w.faults)),
                flush=True)
        if crashed():
            dead = proc.returncode
            break
    end_sample = proc_sample(proc.pid) if dead is None else {}

    # Steady ports lose nothing at all: every record sent has arrived.
    for p in w.ports:
        for d in (SER2NET, NET2SER):
            st = p.stats[d]
            st.unique = p.track[d].unique()
            st.discarded_closed = p.track[d].discarded_closed()
            st.lost_boundary = (st.sent_records - st.unique - st.lost_promised - st.lost_udp -
                                st.discarded_closed)
        if p.churn != 0 or dead is not None:
            continue
        for d in (SER2NET, NET2SER):
            missing = p.seq[d] - p.track[d].unique()
            if missing > 0:
                p.stats[d].tail_missing = missing
                w.note_fault(p.n, "%s: %d records sent but never received on a steady port"
                             % (DIR_NAMES[d], missing))

    # Quiet again: every peer and serial program gone (unless the stop is to
    # be taken under load: then they stay until the program has ended).
    quiet_after = {}
    if not args.stop_under_load:
        for p in w.ports:
            p.close_all()
        if dead is None:
            time.sleep(5)
            pump_lines()
            quiet_after = proc_sample(proc.pid)
    else:
        # Traffic on every port again for a moment, then the stop.
        w.draining = False
        t_load = time.monotonic() + 5
        while time.monotonic() < t_load and not crashed():
            for key, _ in w.sel.select(TICK):
                kind, obj = key.data
                if kind == "serial":
                    obj.serial_readable()
                elif kind == "conn" and obj[1] in obj[0].conns:
                    obj[0].conn_readable(obj[1], time.monotonic())
                elif kind == "listener":
                    obj.accept(time.monotonic())
                elif kind == "udp" and obj.udp:
                    obj.udp_readable()
            pump_lines()
            for p in w.ports:
                p.tick(time.monotonic(), True)
        w.draining = True

    stop = {}
    if dead is None:
        t_sig = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        try:
            rc = proc.wait(timeout=120)
            stop["sigterm_to_exit_s"] = round(time.monotonic() - t_sig, 3)
            stop["exit_status"] = rc
        except subprocess.TimeoutExpired:
            stop["hang"] = True
            proc.kill()
            proc.wait()
            w.faults.append("the program did not end within 120 s of SIGTERM")
        reader.join(timeout=10)
        for p in w.ports:
            p.close_all()
        last = [t for t, raw in lines if raw is not None]
        if last:
            stop["sigterm_to_last_log_line_s"] = round(max(last) - t_sig, 3)
        pump_lines()
        if stop.get("exit_status") not in (0, None):
            w.faults.append("exit status %s after SIGTERM" % stop.get("exit_status"))
    else:
        w.faults.append("the program died during the run: status %s" % dead)

    stderr_file.close()
    with open(stderr_path, "rb") as f:
        err_text = f.read().decode("latin-1")
    sanitizer = [ln for ln in err_text.splitlines()
                 if re.search(r"AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|"
                              r"runtime error:|ThreadSanitizer|SUMMARY:", ln)]
    if sanitizer:
        w.faults.append("sanitizer report: " + sanitizer[0])
    err_kinds = collections.Counter(re.sub(r"\d+", "N", ln) for ln in err_text.splitlines()
                                    if not ln.startswith(("    #", "=="))).most_common(15)

    after = {}
    with open(os.path.join(work, "pairs.dat")) as f:
        after["pairs_dat_unchanged"] = f.read() == pairs
    after["links_left_in_dev"] = len([x for x in os.listdir(os.path.join(work, "dev"))
                                      if os.path.islink(os.path.join(work, "dev", x))])
    with open(os.path.join(work, "options.dat"), "rb") as f:
        saved = f.read()
    after["options_dat_ports"] = len(re.findall(rb"<COM\d+>\r\n", saved))
    if not after["pairs_dat_unchanged"]:
        w.faults.append("pairs.dat changed during the run")
    if after["links_left_in_dev"] and dead is None:
        w.faults.append("%d links left in dev/ after the program ended" % after["links_left_in_dev"])
    if after["options_dat_ports"] != 256 and dead is None:
        w.faults.append("options.dat lists %d ports after the run" % after["options_dat_ports"])

    # ---- the report ----
    per_dir = {}
    for d in (SER2NET, NET2SER):
        agg = collections.Counter()
        for p in w.ports:
            for k, v in vars(p.stats[d]).items():
                agg[k] += v
        per_dir[DIR_NAMES[d]] = dict(agg)
    per_mode = {}
    for m in (TCPCLIENT, TCPSERVER, UDP):
        for d in (SER2NET, NET2SER):
            key = "%s %s" % (MODE_NAMES[m], DIR_NAMES[d])
            per_mode[key] = {k: sum(getattr(p.stats[d], k) for p in w.ports if p.mode == m)
                             for k in ("sent_records", "recv_records", "recv_bytes", "lost_promised",
                                       "lost_udp", "lost_boundary", "discarded_closed", "corrupt",
                                       "disorder", "stale")}
    per_port = []
    for p in w.ports:
        row = {"port": "COM%d" % p.com, "mode": MODE_NAMES[p.mode], "custom": p.custom,
               "churn": ("steady", "network", "serial", "both")[p.churn]}
        for d in (SER2NET, NET2SER):
            s = p.stats[d]
            row[DIR_NAMES[d]] = {"sent_records": s.sent_records, "sent_bytes": s.sent_bytes,
                                 "recv_records": s.recv_records, "recv_bytes": s.recv_bytes,
                                 "lost_promised": s.lost_promised, "lost_udp": s.lost_udp,
                                 "lost_boundary": s.lost_boundary, "corrupt": s.corrupt,
                                 "disorder": s.disorder, "stale": s.stale,
                                 "discarded_closed": s.discarded_closed,
                                 "tail_missing": s.tail_missing}
        per_port.append(row)

    rss = [s.get("VmRSS") for _, s in w.samples if s.get("VmRSS")]
    fds = [s.get("fds") for _, s in w.samples if s.get("fds")]
    half = [(t, s["VmRSS"]) for t, s in w.samples if t >= args.duration / 2 and s.get("VmRSS")]
    slope = None
    if len(half) >= 3:
        mt = sum(t for t, _ in half) / len(half)
        mv = sum(v for _, v in half) / len(half)
        den = sum((t - mt) ** 2 for t, _ in half)
        if den:
            slope = round(sum((t - mt) * (v - mv) for t, v in half) / den * 60, 1)
    fault_count = sum(per_dir[k][f] for k in per_dir
                      for f in ("lost_promised", "corrupt", "disorder", "tail_missing"))
    report = {
        "duration_s": args.duration, "ports": 256, "rate_per_port_dir": args.rate,
        "executable": args.exe, "startup_to_links_s": round(t_ready, 2),
        "per_direction": per_dir, "per_mode": per_mode,
        "udp_datagram_sizes_sent": "%d distinct sizes, %s..%s" % (
            len(w.dgram_sizes), min(w.dgram_sizes, default=None), max(w.dgram_sizes, default=None)),
        "process": {"quiet_before": quiet_before, "warm": warm, "end_under_load": end_sample,
                    "quiet_after": quiet_after, "rss_kb_min_max": [min(rss, default=None), max(rss, default=None)],
                    "fds_min_max": [min(fds, default=None), max(fds, default=None)],
                    "rss_slope_kb_per_min_second_half": slope},
        "stop": stop, "after_exit": after,
        "events": dict(w.counts), "stdout_lines": dict(w.log_lines.most_common(20)),
        "stderr_kinds": err_kinds, "sanitizer_lines": sanitizer[:20],
        "faults": w.faults, "fault_count": fault_count + len([f for f in w.faults if "COM" not in f]),
        "work_folder": work if args.keep else None,
    }
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"summary": report, "ports": per_port}, f, indent=1)
    print_report(report)
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if report["fault_count"] or w.faults else 0


def print_report(r):
    print("\n==== soak report ====")
    print("ports %d, %.0f s of traffic, %d B/s per port and direction, program ready in %.1f s" % (
        r["ports"], r["duration_s"], r["rate_per_port_dir"], r["startup_to_links_s"]))
    for d, s in r["per_direction"].items():
        print("%-12s sent %8d records %11d B | received %8d records %11d B | lost: promised %d, "
              "udp %d, at boundaries %d, discarded while closed %d | corrupt %d (%d B) | disorder %d | "
              "stale %d | steady tail %d | cut at boundaries %d B" % (
                  d, s["sent_records"], s["sent_bytes"], s["recv_records"], s["recv_bytes"],
                  s["lost_promised"], s["lost_udp"], s["lost_boundary"], s["discarded_closed"],
                  s["corrupt"], s["corrupt_bytes"], s["disorder"], s["stale"], s["tail_missing"],
                  s["boundary_garbage"]))
    for k, s in r["per_mode"].items():
        print("  %-26s sent %8d recv %8d  lost(p/u/b/closed) %d/%d/%d/%d  corrupt %d  disorder %d  stale %d" % (
            k, s["sent_records"], s["recv_records"], s["lost_promised"], s["lost_udp"],
            s["lost_boundary"], s["discarded_closed"], s["corrupt"], s["disorder"], s["stale"]))
    print("udp datagrams:", r["udp_datagram_sizes_sent"])
    pr = r["process"]
    for k in ("quiet_before", "warm", "end_under_load", "quiet_after"):
        print("%-15s %s" % (k, pr[k]))
    print("rss min/max kB %s, fds min/max %s, rss slope (2nd half) %s kB/min" % (
        pr["rss_kb_min_max"], pr["fds_min_max"], pr["rss_slope_kb_per_min_second_half"]))
    print("stop:", r["stop"], " after exit:", r["after_exit"])
    print("events:", r["events"])
    print("stderr kinds:", r["stderr_kinds"])
    if r["sanitizer_lines"]:
        print("SANITIZER:", *r["sanitizer_lines"], sep="\n  ")
    print("faults: %d" % r["fault_count"])
    for f in r["faults"][:40]:
        print("  FAULT", f)


if __name__ == "__main__":
    sys.exit(main())
