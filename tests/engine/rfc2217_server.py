#!/usr/bin/python3
# A device server for the engine tests: pyserial's RFC 2217 port manager in
# front of a serial device, one client at a time.
# Usage: rfc2217_server.py TCP-PORT DEVICE
import socket
import sys
import termios
import threading

import serial
import serial.rfc2217


class PtySerial(serial.Serial):
    """The device here is a pseudo-terminal: no modem lines, no break."""
    cts = dsr = ri = cd = property(lambda self: False)

    def _update_dtr_state(self):
        pass

    def _update_rts_state(self):
        pass

    def _update_break_state(self):
        pass

    def _reconfigure_port(self, force_update=False):
        # A pseudo-terminal takes 8 data bits and no parity only: the line
        # asked for is kept and printed for the test to read.
        wanted = self._bytesize, self._parity
        try:
            super()._reconfigure_port(force_update)
        except termios.error:
            self._bytesize, self._parity = 8, serial.PARITY_NONE
            super()._reconfigure_port(force_update)
            self._bytesize, self._parity = wanted
        print("line %d,%d,%s,%s" % (self._baudrate, self._bytesize, self._parity, self._stopbits), flush=True)


class Client:
    def __init__(self, sock):
        self.sock = sock

    def write(self, data):
        self.sock.sendall(data)


def serve(ser, sock):
    client = Client(sock)
    manager = serial.rfc2217.PortManager(ser, client)
    done = threading.Event()

    def to_client():
        while not done.is_set():
            data = ser.read(ser.in_waiting or 1)
            if data:
                client.write(b"".join(manager.escape(data)))

    reader = threading.Thread(target=to_client, daemon=True)
    reader.start()
    try:
        while True:
            data = sock.recv(4096)
            if not data:
                break
            ser.write(b"".join(manager.filter(data)))
    except OSError:
        pass
    done.set()
    reader.join()
    sock.close()


def main():
    port, device = int(sys.argv[1]), sys.argv[2]
    ser = PtySerial(device, timeout=0.1)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(1)
    print("ready", flush=True)
    while True:
        sock, _ = listener.accept()
        serve(ser, sock)


main()
