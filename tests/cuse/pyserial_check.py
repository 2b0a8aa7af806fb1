"""pyserial on a CUSE port: listed, a baud rate of its own, bytes back (its framings: program_check.py)."""
import fcntl, struct, sys, termios
import serial, serial.tools.list_ports

path = sys.argv[1]
assert path in [p.device for p in serial.tools.list_ports.comports()], "not listed"
with serial.Serial(path, 250000, timeout=20) as s:
    TCGETS2, BOTHER, CBAUD = 0x802C542A, 0o010000, 0o010017
    cflag, ospeed = (struct.unpack("4IB19s2I", fcntl.ioctl(s.fd, TCGETS2, bytes(44)))[i] for i in (2, 7))
    assert cflag & CBAUD == BOTHER and ospeed == 250000, (oct(cflag), ospeed)
    s.dtr = False
    assert not s.cts and not s.dsr and not s.cd
    print("open", flush=True)
    data = s.read(7)
    assert data == b"\x00\x11\x13\xff\r\n\x7f", data
    s.write(data)
    s.flush()
