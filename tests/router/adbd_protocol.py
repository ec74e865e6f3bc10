#!/usr/bin/python3
# adbd_protocol: checks of the modem's adbd (modem_adbd.py) that the real
# adb client would not notice: one unacknowledged WRTE per stream, sync
# requests split across WRTEs (and several in one), full-size DONE records,
# and sync paths that try to leave the modem's root. Runs inside the
# emulated router (router/emu ... -- tests/router/adbd_protocol.py), against an adbd of
# its own on port 5565 with a control directory of its own.
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

PORT = 5565
ROUTER_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "router")
ROOT = os.environ["EMU_MODEM_ROOT"]
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)


def msg(cmd, a0, a1, data=b""):
    c = struct.unpack("<I", cmd)[0]
    return struct.pack("<6I", c, a0, a1, len(data), 0, c ^ 0xFFFFFFFF) + data


def read_msg(sock, timeout=3.0):
    """(command, arg0, arg1, data), or None when nothing came in TIMEOUT s."""
    sock.settimeout(timeout)
    try:
        hdr = b""
        while len(hdr) < 24:
            chunk = sock.recv(24 - len(hdr))
            if not chunk:
                return None
            hdr += chunk
    except socket.timeout:
        return None
    cmd, a0, a1, n = struct.unpack("<4sIII", hdr[:16])
    data = b""
    sock.settimeout(3.0)
    while len(data) < n:
        data += sock.recv(n - len(data))
    return cmd, a0, a1, data


def connect():
    sock = socket.create_connection(("127.0.0.1", PORT), timeout=3)
    sock.sendall(msg(b"CNXN", 0x01000001, 4096, b"host::features=shell_v2,stat_v2,ls_v2"))
    reply = read_msg(sock)
    check(reply is not None and reply[0] == b"CNXN", "handshake")
    return sock


def open_stream(sock, host_id, service):
    sock.sendall(msg(b"OPEN", host_id, 0, service + b"\0"))
    reply = read_msg(sock)
    check(reply is not None and reply[0] == b"OKAY" and reply[2] == host_id,
          "OPEN %s accepted" % service.decode())
    return reply[1]


def flow_control(sock):
    dev = open_stream(sock, 7, b"shell:head -c 20000 /dev/zero")
    first = read_msg(sock)
    check(first is not None and first[0] == b"WRTE" and len(first[3]) <= 4096,
          "first WRTE within the host's 4096-byte limit")
    check(read_msg(sock, 0.7) is None, "no second WRTE before the OKAY")
    total = len(first[3])
    while True:
        sock.sendall(msg(b"OKAY", 7, dev))
        m = read_msg(sock)
        if m is None or m[0] != b"WRTE":
            break
        total += len(m[3])
    check(total == 20000, "all output after the OKAYs (%d bytes)" % total)
    check(m is not None and m[0] == b"CLSE", "CLSE at the end of a v1 shell")


def sync_reply(sock, dev, host_id, want):
    """Reads WRTEs (acknowledging each) until WANT bytes have come."""
    data = b""
    while len(data) < want:
        m = read_msg(sock)
        if m is None or m[0] != b"WRTE":
            break
        data += m[3]
        sock.sendall(msg(b"OKAY", host_id, dev))
    return data


def sync_records(sock):
    os.makedirs(os.path.join(ROOT, "run/selftest"), exist_ok=True)
    with open(os.path.join(ROOT, "run/selftest/f"), "wb") as f:
        f.write(b"x" * 100000)
    # A file beside the modem's root, reachable only by leaving it.
    outside = os.path.join(os.path.dirname(ROOT), "selftest-outside")
    with open(outside, "w") as f:
        f.write("host\n")
    os.symlink(outside, os.path.join(ROOT, "run/selftest/out"))
    dev = open_stream(sock, 9, b"sync:")
    path = b"/run/selftest/f"
    request = b"STA2" + struct.pack("<I", len(path)) + path
    # One byte a WRTE: the request arrives in pieces.
    for i in range(len(request)):
        sock.sendall(msg(b"WRTE", 9, dev, request[i:i + 1]))
        read_msg(sock)  # the OKAY of that WRTE
    st = sync_reply(sock, dev, 9, 72)
    check(len(st) == 72 and st[:4] == b"STA2" and struct.unpack("<I", st[4:8])[0] == 0 and
          struct.unpack("<Q", st[40:48])[0] == 100000, "STA2 split over WRTEs answered")
    # Two requests in one WRTE: a listing, then the file.
    d = b"/run/selftest"
    sock.sendall(msg(b"WRTE", 9, dev, b"LIS2" + struct.pack("<I", len(d)) + d +
                     b"RECV" + struct.pack("<I", len(path)) + path))
    read_msg(sock)
    want = (76 + 1) + (76 + 3) + 76 + (8 + 65536) + (8 + 100000 - 65536) + 8
    data = sync_reply(sock, dev, 9, want)
    done_at = data.find(b"DONE")
    check(done_at > 0 and data[done_at + 4:done_at + 76] == bytes(72),
          "LIS2 ends with a full 76-byte DONE record")
    body = data[done_at + 76:]
    payload, pos = b"", 0
    while body[pos:pos + 4] == b"DATA":
        n = struct.unpack("<I", body[pos + 4:pos + 8])[0]
        payload += body[pos + 8:pos + 8 + n]
        pos += 8 + n
    check(payload == b"x" * 100000 and body[pos:pos + 4] == b"DONE", "RECV of 100000 bytes")
    # Paths that try to leave the modem's root.
    hid = 9
    for bad, what in ((b"/../selftest-outside", "dot-dot path"),
                      (b"/run/selftest/out", "symbolic link out of the root")):
        sock.sendall(msg(b"WRTE", hid, dev, b"RECV" + struct.pack("<I", len(bad)) + bad))
        read_msg(sock)
        reply = sync_reply(sock, dev, hid, 4)
        check(reply[:4] == b"FAIL", "%s refused" % what)
        # adbd closes the stream after a FAIL: the next request gets a new one.
        while True:
            m = read_msg(sock, 0.5)
            if m is None or m[0] == b"CLSE":
                break
        hid += 1
        dev = open_stream(sock, hid, b"sync:")


def main():
    ctl = tempfile.mkdtemp(prefix="adbd-ctl.", dir="/var/tmp")
    log = tempfile.mkdtemp(prefix="adbd-log.", dir="/var/tmp")
    adbd = subprocess.Popen(["/usr/bin/python3", os.path.join(ROUTER_DIR, "modem_adbd.py"),
                             "--root", ROOT, "--ctl", ctl, "--log", log, "--port", str(PORT)])
    try:
        for _ in range(50):
            try:
                socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        sock = connect()
        flow_control(sock)
        sync_records(sock)
        sock.close()
    finally:
        adbd.terminate()
        adbd.wait(timeout=10)
        subprocess.call(["rm", "-rf", ctl, log])
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
