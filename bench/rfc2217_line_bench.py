#!/usr/bin/python3
"""A serial program's baud change reaching an RFC 2217 server, on a CUSE port beside a
pseudo-terminal port, in the same run (as root with /dev/cuse: scripts/vm.sh). The server is
tests/engine/rfc2217_server.py, which writes a line for each setting it is told; the time is from
pyserial's .baudrate on dev/COM3 to that line.
  bench/rfc2217_line_bench.py EXECUTABLE [REPS] [BACKEND...]   (defaults 20, cuse pty cuse pty)
"""
import os, statistics, subprocess, sys, tempfile, time
import serial

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
exe, reps = sys.argv[1], int((sys.argv[2:] + ["20"])[0])
backends = sys.argv[3:] or ["cuse", "pty", "cuse", "pty"]


def told(path, since=0):
    with open(path) as f:
        return f.read()[since:]


def wait(cond):
    end = time.monotonic() + 60
    while not cond():
        if time.monotonic() > end:
            raise SystemExit("timed out")
        time.sleep(0.001)


def run(backend):
    folder = tempfile.mkdtemp()
    env = dict(os.environ, STATE_DIRECTORY=folder, VELKARO_REDI_BACKEND=backend, QT_QPA_PLATFORM="offscreen")
    record = folder + "/told"
    device = os.openpty()  # the server's device end, held while it runs
    server = subprocess.Popen([sys.executable, ROOT + "/tests/engine/rfc2217_server.py", "0",
                               os.ttyname(device[1]), record], stdout=subprocess.PIPE)
    port = int(server.stdout.readline().split()[1])
    subprocess.run([exe, "--add", "COM3", "--remote", "127.0.0.1:%d" % port, "--rfc2217"], env=env,
                   capture_output=True, check=True)
    prog = subprocess.Popen([exe, "-platform", "offscreen"], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        wait(lambda: os.path.exists(folder + "/dev/COM3"))
        subprocess.run([exe, "--start", "COM3"], env=env, capture_output=True)
        port = serial.Serial(folder + "/dev/COM3", 9600)
        # Connected: the settings sent at the connect arrived (the first DTR is the server's own open).
        wait(lambda: told(record).count("DTR 1") >= 2)
        took = []
        for i in range(reps):
            baud = (38400, 115200)[i % 2]
            mark, start = len(told(record)), time.perf_counter()
            port.baudrate = baud
            wait(lambda: "LINE %d" % baud in told(record, mark))
            took.append((time.perf_counter() - start) * 1000)
            time.sleep(0.02)
        port.close()
        return took
    finally:
        prog.terminate(), prog.wait(), server.kill(), server.wait()
        os.close(device[0]), os.close(device[1])


for backend in backends:
    took = run(backend)
    print("%-4s baud change reaches the server: median %.1f ms, max %.1f ms (%d changes)"
          % (backend, statistics.median(took), max(took), len(took)), flush=True)
