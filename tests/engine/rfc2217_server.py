#!/usr/bin/python3
# A device server for the engine tests: pyserial's RFC 2217 port manager in
# front of a pseudo-terminal, one client at a time.
# Usage: rfc2217_server.py TCP-PORT DEVICE
import socket, sys, termios, threading
import serial, serial.rfc2217


class PtySerial(serial.Serial):
    # No modem lines, no break, and only 8 data bits without parity: the
    # setting asked for is kept and confirmed all the same.
    cts = dsr = ri = cd = property(lambda self: False)
    _update_dtr_state = _update_rts_state = _update_break_state = lambda self: None

    def _reconfigure_port(self, force_update=False):
        wanted = self._bytesize, self._parity
        try:
            super()._reconfigure_port(force_update)
        except termios.error:
            self._bytesize, self._parity = 8, serial.PARITY_NONE
            super()._reconfigure_port(force_update)
            self._bytesize, self._parity = wanted


ser = PtySerial(sys.argv[2], timeout=0.1)
listener = socket.create_server(("127.0.0.1", int(sys.argv[1])))
print("ready", flush=True)
while True:
    sock = listener.accept()[0]
    manager = serial.rfc2217.PortManager(ser, type("Client", (), {"write": lambda _, data: sock.sendall(data)})())
    done = threading.Event()

    def to_client():
        while not done.is_set():
            sock.sendall(b"".join(manager.escape(ser.read(ser.in_waiting or 1))))

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
