#!/usr/bin/python3
"""RFC 2217 towards ser2net: this program's RFC 2217 port against pyserial's
rfc2217:// client, in the same run, through the same ser2net telnet(rfc2217)
accepter in front of one end of a socat pseudo-terminal pair:
  - throughput serial program -> device and device -> serial program;
  - time from a baud change (tcsetattr on dev/COM1, or pyserial's
    .baudrate) to the device end's termios showing it.
Everything runs on loopback in a temporary folder; every process started is
ended on exit.   bench/rfc2217_bench.py [MIB] [REPS]   (defaults 8, 5)
"""
import os, shutil, socket, statistics, subprocess, sys, tempfile, termios, time
import serial

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB, REPS = (int(a) for a in (sys.argv[1:] + ["8", "5"])[:2])
SPEEDS = [(termios.B38400, 38400), (termios.B115200, 115200)]


def wait(cond, seconds=10):
    end = time.time() + seconds
    while not cond():
        if time.time() > end:
            raise SystemExit("timed out")
        time.sleep(0.01)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def move(write, read, size):
    """MiB/s of size random bytes through write() and read(), both non-blocking, checked exact."""
    data = os.urandom(size)
    got = bytearray()
    start = time.perf_counter()
    sent = 0
    while len(got) < size:
        if sent < size:
            sent += write(data[sent:sent + 4096]) or 0
        chunk = read()
        if not chunk:
            time.sleep(0.0005)
        got += chunk
    assert bytes(got) == data, "bytes lost or changed"
    return size / (time.perf_counter() - start) / 2**20


def fd_write(fd):
    def write(b):
        try:
            return os.write(fd, b)
        except BlockingIOError:
            return 0
    return write


def fd_read(fd):
    def read():
        try:
            return os.read(fd, 65536)
        except BlockingIOError:
            return b""
    return read


def transfer(write_fd, read_fd, size):
    return move(fd_write(write_fd), fd_read(read_fd), size)


def baud_latency(set_speed, device, code):
    start = time.perf_counter()
    set_speed()
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        while termios.tcgetattr(fd)[5] != code:
            time.sleep(0.0005)
    finally:
        os.close(fd)
    return (time.perf_counter() - start) * 1000


def raw(fd):
    t = termios.tcgetattr(fd)
    t[0] = t[1] = t[3] = 0
    t[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
    termios.tcsetattr(fd, termios.TCSANOW, t)


def measure(user, far, device, set_baud):
    up = [transfer(user, far, MIB << 20) for _ in range(REPS)]
    down = [transfer(far, user, MIB << 20) for _ in range(REPS)]
    lat = [baud_latency(lambda: set_baud(c, b), device, c) for _ in range(REPS) for c, b in SPEEDS]
    return statistics.median(up), statistics.median(down), statistics.median(lat), max(lat)


def main():
    d = tempfile.mkdtemp(prefix="vr-rfc2217-bench-")
    procs = []
    try:
        dev, far_path, port = d + "/device", d + "/far", free_port()
        procs.append(subprocess.Popen(["socat", "pty,raw,echo=0,link=" + dev, "pty,raw,echo=0,link=" + far_path]))
        wait(lambda: os.path.exists(far_path))
        with open(d + "/ser2net.yaml", "w") as f:
            f.write("connection: &c\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,115200n81,local\n" % (port, dev))
        procs.append(subprocess.Popen(["ser2net", "-n", "-d", "-c", d + "/ser2net.yaml"],
                                      stderr=subprocess.DEVNULL))
        far = os.open(far_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        raw(far)
        shutil.copy(ROOT + "/build/velkaro_redi", d)
        exe = d + "/velkaro_redi"
        subprocess.run([exe, "--add", "COM1", "--rfc2217", "--remote", "127.0.0.1:%d" % port,
                        "--line", "115200,8,N,1"], check=True, cwd=d)
        ours = subprocess.Popen([exe, "-platform", "offscreen"], cwd=d,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(ours)
        wait(lambda: subprocess.run([exe, "--start", "COM1"], cwd=d, capture_output=True).returncode == 0, 20)
        wait(lambda: "Connected" in subprocess.run([exe, "--list"], capture_output=True, text=True).stdout, 20)
        user = os.open(d + "/dev/COM1", os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        raw(user)
        time.sleep(0.5)

        def our_baud(code, _):
            t = termios.tcgetattr(user)
            t[4] = t[5] = code
            termios.tcsetattr(user, termios.TCSANOW, t)
        results = {"velkaro_redi": measure(user, far, dev, our_baud)}
        os.close(user)
        ours.terminate()
        ours.wait()
        time.sleep(0.5)
        client = serial.serial_for_url("rfc2217://127.0.0.1:%d?ign_set_control" % port, baudrate=115200, timeout=0)
        results["pyserial rfc2217://"] = measure_pyserial(client, far, dev)
        client.close()
        print("%-22s %12s %12s %14s %12s" % ("client", "up MiB/s", "down MiB/s", "baud ms (med)", "baud ms max"))
        for name, (up, down, med, worst) in results.items():
            print("%-22s %12.2f %12.2f %14.1f %12.1f" % (name, up, down, med, worst))
    finally:
        for p in reversed(procs):
            p.terminate()
            p.wait()
        shutil.rmtree(d, ignore_errors=True)


def measure_pyserial(client, far, device):
    size = MIB << 20
    up = [move(client.write, fd_read(far), size) for _ in range(REPS)]
    down = [move(fd_write(far), lambda: client.read(65536), size) for _ in range(REPS)]

    def set_baud(code, baud):
        client.baudrate = baud
    lat = [baud_latency(lambda: set_baud(c, b), device, c) for _ in range(REPS) for c, b in SPEEDS]
    return statistics.median(up), statistics.median(down), statistics.median(lat), max(lat)


main()
