"""The whole program as root on CUSE ports: framings kept, bytes exact both ways, modem lines
following the bridge, DTR/RTS kept, Detect DTR on real DTR, SIGTERM releasing held ports."""
import fcntl, os, signal, socket, struct, subprocess, sys, tempfile, termios, time
import serial

exe, folder = sys.argv[1], tempfile.mkdtemp()
env = dict(os.environ, STATE_DIRECTORY=folder, VELKARO_REDI_BACKEND="cuse", QT_QPA_PLATFORM="offscreen")
peers = [socket.create_server(("127.0.0.1", 0)) for _ in range(2)]
for p in peers:
    p.settimeout(60)

def cli(*args):
    return subprocess.run([exe, *args], env=env, capture_output=True, text=True, timeout=60)

def until(what, cond, seconds=60):
    end = time.monotonic() + seconds
    while not cond():
        assert time.monotonic() < end, what
        time.sleep(0.05)

def lines(s):
    return struct.unpack("I", fcntl.ioctl(s.fd, termios.TIOCMGET, bytes(4)))[0]

for name, peer, extra in (("COM7", peers[0], []), ("COM8", peers[1], ["--detect-dtr"])):
    r = cli("--add", name, "--remote", "127.0.0.1:%d" % peer.getsockname()[1], *extra)
    assert r.returncode == 0, r.stderr
log = open(folder + "/stderr", "w+")
prog = subprocess.Popen([exe, "-platform", "offscreen"], env=env, stdout=log, stderr=log)
until("the backend named", lambda: "ports are" in open(log.name).read())
assert "ports are CUSE character devices" in open(log.name).read(), open(log.name).read()
com7, com8 = folder + "/dev/COM7", folder + "/dev/COM8"
until("links", lambda: os.path.exists(com7) and os.path.exists(com8))
assert os.path.realpath(com7).startswith("/dev/ttyS1"), os.path.realpath(com7)
assert os.path.realpath(com7) in cli("--list").stdout
for name in ("COM7", "COM8"):
    cli("--start", name)

for size, parity, stop, want in ((8, "E", 1, termios.CS8 | termios.PARENB),
                                 (7, "E", 1, termios.CS7 | termios.PARENB),
                                 (8, "N", 2, termios.CS8 | termios.CSTOPB)):
    with serial.Serial(com7, 9600, bytesize=size, parity=parity, stopbits=stop) as s:
        got = termios.tcgetattr(s.fd)[2] & (termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB)
        assert got == want, (size, parity, stop, oct(got))

s7 = serial.Serial(com7, 115200, timeout=30)
conn, _ = peers[0].accept()
until("lines on while connected", lambda: s7.cts and s7.dsr and s7.cd)
s7.dtr, s7.rts = False, False
assert lines(s7) & (termios.TIOCM_DTR | termios.TIOCM_RTS) == 0
s7.rts = True
assert lines(s7) & (termios.TIOCM_DTR | termios.TIOCM_RTS) == termios.TIOCM_RTS
data = bytes(range(256)) * 64 + b"\x00\x11\x13\xff"
conn.sendall(data)
assert s7.read(len(data)) == data
s7.write(data)
got = b""
while len(got) < len(data):
    chunk = conn.recv(65536)
    assert chunk, "peer's end closed"
    got += chunk
assert got == data
conn.close()
until("lines off once the bridge is gone", lambda: not (s7.cts or s7.dsr or s7.cd))
conn, _ = peers[0].accept()
until("lines on again", lambda: s7.cts and s7.dsr and s7.cd)

def linked_by(s, peer):
    # Connections that the bridge made while DTR was off end at once; the
    # one that carries the bytes is the link.
    s.write(b"ping")
    while True:
        c, _ = peer.accept()
        c.settimeout(30)
        try:
            if c.recv(4) == b"ping":
                return c
        except socket.timeout:
            pass
        c.close()

s8 = serial.Serial(com8, 9600, timeout=30)
c8 = linked_by(s8, peers[1])
s8.dtr = False
c8.settimeout(60)
assert c8.recv(16) == b"", "the link outlived DTR"
s8.dtr = True
c8 = linked_by(s8, peers[1])

prog.send_signal(signal.SIGTERM)
assert prog.wait(timeout=120) == 0
for s in (s7, s8):
    assert not os.path.exists(os.path.realpath(s.port)) or os.path.realpath(s.port).startswith(folder)
    try:
        s.write(b"x")
        assert False, "a held port outlived the program"
    except serial.SerialException:
        pass
print("program_check: OK")
