"""The program as root on CUSE ports: framings kept, exact bytes both ways, modem lines with the bridge,
DTR/RTS kept, Detect DTR on real DTR, the line to and from an RFC 2217 server, SIGTERM with ports held."""
import fcntl, os, signal, socket, struct, subprocess, sys, tempfile, termios, time
import serial

exe, folder = sys.argv[1], tempfile.mkdtemp()
env = dict(os.environ, STATE_DIRECTORY=folder, VELKARO_REDI_BACKEND="cuse", QT_QPA_PLATFORM="offscreen")
peers = [socket.create_server(("127.0.0.1", 0)) for _ in range(2)]
cli = lambda *a: subprocess.run([exe, *a], env=env, capture_output=True, text=True, timeout=60)
modem = lambda s: struct.unpack("I", fcntl.ioctl(s.fd, termios.TIOCMGET, bytes(4)))[0]
import json, re, select

def until(what, cond, end=None):
    end = end or time.monotonic() + 60
    while not cond():
        assert time.monotonic() < end, what() if callable(what) else what
        time.sleep(0.05)

for name, peer, extra in (("COM7", peers[0], []), ("COM8", peers[1], ["--detect-dtr"])):
    peer.settimeout(60)
    assert cli("--add", name, "--remote", "127.0.0.1:%d" % peer.getsockname()[1], *extra).returncode == 0
server = subprocess.Popen([sys.executable, os.path.dirname(os.path.abspath(__file__)) + "/../engine/rfc2217_server.py",
                           "0", os.ttyname((device := os.openpty())[1]), folder + "/told"], stdout=subprocess.PIPE)
server_port = int(server.stdout.readline().split()[1])  # the device is held to the end
assert cli("--add", "COM9", "--remote", "127.0.0.1:%d" % server_port, "--rfc2217", "--line", "2400,7,E,1").returncode == 0
# COM11's device name is another installation's; COM12 serves one client at a time.
peer11, port12 = socket.create_server(("127.0.0.1", 0)), (lambda s: (s.getsockname()[1], s.close())[0])(socket.create_server(("127.0.0.1", 0)))
assert cli("--add", "COM11", "--remote", "127.0.0.1:%d" % peer11.getsockname()[1]).returncode == 0
assert cli("--add", "COM12", "--mode", "tcpserver", "--local", "127.0.0.1:%d" % port12).returncode == 0
listed = lambda name: [p for p in json.loads(cli("--list", "--json").stdout) if p["name"] == name][0]
tty11 = "/dev/ttyS%d" % (100 + listed("COM11")["pair"])
os.mknod(tty11, 0o20600, os.makedev(4, 250))
log = open(folder + "/log", "w+")
prog = subprocess.Popen([exe, "-platform", "offscreen"], env=env, stdout=log, stderr=log)
until("the backend named", lambda: "ports are" in open(log.name).read())
assert "ports are CUSE character devices" in open(log.name).read()
com7, com8 = folder + "/dev/COM7", folder + "/dev/COM8"
until("links", lambda: os.path.exists(com7) and os.path.exists(com8))
assert os.path.realpath(com7).startswith("/dev/ttyS1") and os.path.realpath(com7) in cli("--list").stdout
cli("--start", "COM7"), cli("--start", "COM8")

started11 = cli("--start", "COM11")  # COM11 without its device: refused, no connection, its reason listed
assert started11.returncode != 0 and "has no serial device: " + tty11 + " already exists" in started11.stderr, started11
assert tty11 + " already exists" in str(listed("COM11")["last_error"]) and cli("--start", "COM12").returncode == 0
assert select.select([peer11], [], [], 5)[0] == [], "a port without its device connected"
os.unlink(tty11), cli("--stop", "COM11"), cli("--start", "COM11")  # a start makes the device anew
until("COM11 made", lambda: os.path.realpath(folder + "/dev/COM11") == tty11)
peer11.accept()[0].close()
# Between connections, what a program wrote and left behind at its close is not the next one's.
serial.Serial(folder + "/dev/COM12").write(b"stale")  # and closed at once
time.sleep(2)
(b12 := serial.Serial(folder + "/dev/COM12")).write(b"fresh")  # held to the end
assert socket.create_connection(("127.0.0.1", port12), timeout=30).recv(64) == b"fresh"

for size, parity, stop, want in ((8, "E", 1, termios.CS8 | termios.PARENB), (7, "E", 1, termios.CS7 | termios.PARENB),
                                 (8, "N", 2, termios.CS8 | termios.CSTOPB)):
    with serial.Serial(com7, 9600, bytesize=size, parity=parity, stopbits=stop) as s:
        assert termios.tcgetattr(s.fd)[2] & (termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB) == want

s7 = serial.Serial(com7, 115200, timeout=30)
conn = peers[0].accept()[0]
until("lines on while connected", lambda: s7.cts and s7.dsr and s7.cd)
s7.dtr, s7.rts = False, True
assert modem(s7) & (termios.TIOCM_DTR | termios.TIOCM_RTS) == termios.TIOCM_RTS
data = bytes(range(256)) * 64 + b"\x00\x11\x13\xff"
conn.sendall(data)
assert s7.read(len(data)) == data
s7.write(data)
got = b""
while len(got) < len(data) and (chunk := conn.recv(65536)):
    got += chunk
assert got == data
conn.close()
until("lines off once the bridge is gone", lambda: not (s7.cts or s7.dsr or s7.cd))
conn = peers[0].accept()[0]
until("lines on again", lambda: s7.cts and s7.dsr and s7.cd)

def linked_by(s, peer):
    # Connections made while DTR was off end at once; the link carries the bytes.
    s.write(b"ping")
    while True:
        c = peer.accept()[0]
        c.settimeout(30)
        try:
            if c.recv(4) == b"ping":
                return c
        except socket.timeout:
            pass
        c.close()

assert re.search(r'open\("ZPVB0", /dev/ttyS100 at \d+,[5-8],[NEOMS],[12]\) - OK', open(log.name).read())
s8 = serial.Serial(com8, 9600, timeout=30)
c8 = linked_by(s8, peers[1])
s8.dtr = False
c8.settimeout(60)
assert c8.recv(16) == b"", "the link outlived DTR"
s8.dtr = True
c8 = linked_by(s8, peers[1])

# Settings, DTR, break and flushes reach the server; its CTS, DSR and DCD (our DTR) show in ours.
cli("--start", "COM9")
told = lambda: open(folder + "/told").read().splitlines()
until("the port's line told", lambda: "LINE 2400 7 E 1" in told())  # and found by a program that sets none
line9 = lambda: (lambda fd: (termios.tcgetattr(fd), os.close(fd))[0])(os.open(folder + "/dev/COM9", os.O_RDWR | os.O_NOCTTY))
until("the port's line on the device", lambda: line9()[4] == termios.B2400 and line9()[2] & (termios.CSIZE | termios.PARENB | termios.PARODD) == termios.CS7 | termios.PARENB)
s9 = serial.Serial(folder + "/dev/COM9", 9600, timeout=30)
def tells(action, *lines):
    mark = len(told())
    action()
    until(lambda: "%s not in %s" % (lines, told()[mark:]), lambda: all(l in told()[mark:] for l in lines))
tells(lambda: setattr(s9, "bytesize", 7) or setattr(s9, "parity", "E"), "LINE 9600 7 E 1")
tells(lambda: setattr(s9, "baudrate", 250000), "LINE 250000 7 E 1")
tells(lambda: setattr(s9, "dtr", False), "DTR 0")
until("the server's lines off", lambda: not (s9.cts or s9.dsr or s9.cd))
tells(lambda: setattr(s9, "dtr", True), "DTR 1")
tells(lambda: termios.tcsendbreak(s9.fd, 0), "BREAK 1", "BREAK 0")
tells(lambda: termios.tcflush(s9.fd, termios.TCIOFLUSH), "PURGE in", "PURGE out")
server.kill()

prog.send_signal(signal.SIGTERM)
assert prog.wait(timeout=120) == 0
for s in (s7, s8, s9):
    try:
        s.write(b"x")
        assert False, "a held port outlived the program"
    except serial.SerialException:
        pass
print("program_check: OK")
