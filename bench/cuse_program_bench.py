"""The whole program, as root in the VM, one tcpclient port whose peer is socat: its user side a
CUSE device, then a pseudo-terminal (two runs of the program on the same machine). Throughput each
way, the one-byte round trip through an echoing peer, and the program's CPU per MiB.
bench/cuse_program_bench.sh runs it; BENCH_MIB (default 16) and BENCH_ROUNDS (default 300)."""
import json, os, socket, statistics, subprocess, sys, tempfile, threading, time, tty

exe = sys.argv[1]
MIB, ROUNDS = int(os.environ.get("BENCH_MIB", "16")), int(os.environ.get("BENCH_ROUNDS", "300"))
TICK = os.sysconf("SC_CLK_TCK")


def cpu(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def peer(port, *address, one_way=True):
    """socat listening on port; returns once the bridge's connection stands."""
    args = ["socat", "-d", "-d"] + (["-u"] if one_way else [])
    p = subprocess.Popen(args + list(address), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    for line in p.stderr:
        if b"starting data transfer loop" in line:
            return p
    raise SystemExit("socat ended: %s" % address)


def run(backend):
    folder = tempfile.mkdtemp()
    env = dict(os.environ, STATE_DIRECTORY=folder, VELKARO_REDI_BACKEND=backend, QT_QPA_PLATFORM="offscreen")
    free = socket.create_server(("127.0.0.1", 0))
    port = free.getsockname()[1]
    free.close()
    listen = "TCP-LISTEN:%d,reuseaddr,bind=127.0.0.1" % port
    cli = lambda *a: subprocess.run([exe, *a], env=env, capture_output=True, text=True, timeout=120)
    assert cli("--add", "COM7", "--remote", "127.0.0.1:%d" % port).returncode == 0
    log = open(folder + "/log", "w")
    prog = subprocess.Popen([exe, "-platform", "offscreen"], env=env, stdout=log, stderr=log)
    while not os.path.exists(folder + "/dev/COM7"):
        time.sleep(0.1)
    fd = os.open(folder + "/dev/COM7", os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    cli("--start", "COM7")
    size, out = MIB << 20, {}

    blob = folder + "/blob"
    with open(blob, "wb") as f:
        f.write(os.urandom(1 << 20) * MIB)
    p = peer(port, "OPEN:" + blob, listen)
    got = len(os.read(fd, 65536))
    t, c = time.monotonic(), cpu(prog.pid)  # from the first byte on
    while got < size:
        got += len(os.read(fd, 65536))
    out["net>serial"] = ((size >> 20) / (time.monotonic() - t), (cpu(prog.pid) - c) * 1000 / MIB)
    p.wait()

    p = peer(port, listen, "STDOUT")
    chunk = os.urandom(65536)
    writer = threading.Thread(target=lambda: [os.write(fd, chunk) for _ in range(size // len(chunk))])
    t, c = time.monotonic(), cpu(prog.pid)
    writer.start()
    got = 0
    while got < size:
        got += len(p.stdout.read1(1 << 20))
    out["serial>net"] = (MIB / (time.monotonic() - t), (cpu(prog.pid) - c) * 1000 / MIB)
    writer.join()
    p.kill()
    p.wait()

    p = peer(port, listen, "PIPE", one_way=False)  # an echo
    rtt = []
    for _ in range(ROUNDS):
        t = time.monotonic()
        os.write(fd, b"x")
        assert os.read(fd, 1) == b"x"
        rtt.append((time.monotonic() - t) * 1000)
    p.kill()
    p.wait()
    os.close(fd)
    prog.terminate()
    assert prog.wait(timeout=120) == 0
    for way in ("net>serial", "serial>net"):
        print("%-5s %-10s %7.2f MiB/s  %7.1f ms CPU per MiB" % (backend, way, *out[way]))
    print("%-5s round trip median %.2f ms, 90th percentile %.2f ms (%d rounds)" %
          (backend, statistics.median(rtt), statistics.quantiles(rtt, n=10)[-1], ROUNDS))
    return out


cuse, pty = run("cuse"), run("pty")
for way in ("net>serial", "serial>net"):
    print("CUSE/pty %s: %.2f" % (way, cuse[way][0] / pty[way][0]))
