#!/usr/bin/python3
# A device server for the tests: pyserial's RFC 2217 port manager in front of
# a pseudo-terminal, one client at a time. Its CTS, DSR and DCD follow the
# DTR it is told (a loop-back plug). With RECORD it writes a line per thing
# it is told: "LINE baud bits parity stop", "DTR 0|1", "BREAK 0|1", "PURGE in|out".
# Usage: rfc2217_server.py TCP-PORT DEVICE [RECORD]   (port 0: any, told after "ready")
import socket, sys, termios, threading
import serial, serial.rfc2217

record = open(sys.argv[3], "a", buffering=1) if len(sys.argv) > 3 else None
note = lambda *a: record and record.write(" ".join(map(str, a)) + "\n")


class PtySerial(serial.Serial):
    # No break, and only 8 data bits without parity: the setting asked for is
    # kept and confirmed all the same.
    cts = dsr = cd = property(lambda self: self._dtr_state)
    ri = property(lambda self: False)
    _update_rts_state = lambda self: None
    _update_dtr_state = lambda self: note("DTR", int(self._dtr_state))
    _update_break_state = lambda self: note("BREAK", int(self._break_state))
    reset_input_buffer = lambda self: note("PURGE", "in")
    reset_output_buffer = lambda self: note("PURGE", "out")

    def _reconfigure_port(self, force_update=False):
        wanted = self._bytesize, self._parity
        try:
            super()._reconfigure_port(force_update)
        except termios.error:
            self._bytesize, self._parity = 8, serial.PARITY_NONE
            super()._reconfigure_port(force_update)
            self._bytesize, self._parity = wanted
        note("LINE", self._baudrate, self._bytesize, self._parity, self._stopbits)


ser = PtySerial(sys.argv[2], timeout=0.1)
listener = socket.create_server(("127.0.0.1", int(sys.argv[1])))
print("ready", listener.getsockname()[1], flush=True)
while True:
    sock = listener.accept()[0]
    lock = threading.Lock()

    def send(data):
        with lock:
            sock.sendall(data)

    manager = serial.rfc2217.PortManager(ser, type("Client", (), {"write": lambda _, data: send(data)})())
    done = threading.Event()

    def to_client():
        while not done.is_set():
            try:
                send(b"".join(manager.escape(ser.read(ser.in_waiting or 1))))
                manager.check_modem_lines()
            except (OSError, serial.SerialException):
                done.wait(0.1)  # the device end closed under us: the test is ending

    reader = threading.Thread(target=to_client, daemon=True)
    reader.start()
    try:
        while data := sock.recv(4096):
            ser.write(b"".join(manager.filter(data)))
    except OSError:
        pass
    done.set()
    reader.join()
    sock.close()
