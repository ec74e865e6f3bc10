#!/usr/bin/python3
# modem_adbd: the emulated modem's side of the Android Debug Bridge.
#
#   modem_adbd.py --root DIR --ctl DIR --log DIR [--old] [--port P] [--maxdata N]
#
# Speaks the ADB transport to the real adb server over TCP: CNXN without
# AUTH, OPEN/OKAY/WRTE/CLSE with one unacknowledged WRTE per stream and
# direction, the services "shell:" (merged stderr, no exit status),
# "shell,v2,...:" (separate stderr, exit status, close-stdin) and "sync:"
# (STAT/STA2/LST2, LIST/LIS2, RECV, SEND, QUIT). It listens on
# 127.0.0.1:P (5555: the server's own scan finds it as emulator-5554) and
# announces itself to a server on 127.0.0.1:5037 with host:emulator:P.
#
# Commands run as on the modem: chrooted into --root with a clean
# environment and default signal dispositions, each in a process group of
# its own that is hung up when the host closes the stream. Sync paths are
# normalised and joined to --root; they never leave it.
#
# --old plays an older modem: no shell_v2, stat_v2 or ls_v2 (every shell
# exits 0 for the client, stderr mixed into stdout).
#
# The process is a supervisor plus one device process: the supervisor
# restarts the device after a knob made it go away (drop, reboot) and
# stops it, with every modem process, on SIGTERM/SIGINT.
#
# Every request served is appended to LOG/adb.calls, one line each:
#   shell CMD        a shell service (v1 or v2), CMD as the client sent it
#   pull PATH        a sync RECV
#   stat PATH        a sync stat not followed by a transfer: a pull of a
#                    missing file, or a push whose local file is missing
#   push PATH        a sync SEND
#   ls PATH          a sync LIST/LIS2
# Injected faults and device events go to LOG/adbd.log. The knobs, files
# in --ctl read at each use, are described in router/README.md.
import os
import random
import select
import signal
import socket
import stat as st
import struct
import subprocess
import sys
import threading
import time

A_CNXN = 0x4E584E43
A_OPEN = 0x4E45504F
A_OKAY = 0x59414B4F
A_CLSE = 0x45534C43
A_WRTE = 0x45545257
A_AUTH = 0x48545541
VERSION = 0x01000001
MAXDATA_DEFAULT = 256 * 1024
SYNC_DATA_MAX = 65536
MODEM_PATH = "/system/bin:/usr/sbin:/usr/bin:/sbin:/bin"
FEATURES_MODERN = "shell_v2,cmd,stat_v2,ls_v2,fixed_push_mkdir"

# Set once in main(): the command-line settings every thread reads.
ROOT = CTL = LOG = ""
OLD = False
MAXDATA = MAXDATA_DEFAULT

# Serialises appends to the call and event logs (threads of one device).
_log_lock = threading.Lock()


def log_line(name, text):
    with _log_lock:
        with open(os.path.join(LOG, name), "a") as f:
            f.write(text + "\n")


def note(text):
    log_line("adbd.log", "[%d] %s" % (int(time.time()), text))


def ctl_path(name):
    return os.path.join(CTL, name)


def ctl_value(name):
    """The integer in control file NAME, or None when it is absent or empty."""
    try:
        with open(ctl_path(name)) as f:
            text = f.read().strip()
    except OSError:
        return None
    if text == "forever":
        return -1
    digits = "".join(c for c in text if c.isdigit() or c == "-")
    try:
        return int(digits)
    except ValueError:
        return None


_consume_lock = threading.Lock()


def consume(name):
    """Counts down a "next N" control; true when this use must be hit."""
    with _consume_lock:
        n = ctl_value(name)
        if n is None or n == 0:
            return False
        if n > 0:
            if n == 1:
                try:
                    os.unlink(ctl_path(name))
                except OSError:
                    pass
            else:
                with open(ctl_path(name), "w") as f:
                    f.write("%d\n" % (n - 1))
        return True


def percent_hit(name):
    p = ctl_value(name)
    return p is not None and random.randrange(100) < p


def recv_exact(sock, n):
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise EOFError
        buf += chunk
    return bytes(buf)


class Conn:
    """One TCP connection to the adb server: its streams and its writer lock."""

    def __init__(self, sock):
        self.sock = sock
        self.wlock = threading.Lock()
        self.streams = {}        # device stream id -> Stream
        self.next_id = 1
        self.maxdata = MAXDATA
        self.alive = True

    def send(self, cmd, arg0, arg1, data=b""):
        hdr = struct.pack("<6I", cmd, arg0, arg1, len(data), 0, cmd ^ 0xFFFFFFFF)
        with self.wlock:
            if not self.alive:
                return
            try:
                self.sock.sendall(hdr + data)
            except OSError:
                self.alive = False


class Stream:
    """One service stream. Output is queued and sent as WRTEs, one at a time:
    the next one only after the host's OKAY for the previous."""

    def __init__(self, conn, host_id):
        self.conn = conn
        self.host_id = host_id
        self.dev_id = conn.next_id
        conn.next_id += 1
        self.cv = threading.Condition()
        self.out = bytearray()
        self.acked = True      # the host's OPEN counts as its first OKAY
        self.closing = False   # the service has ended: CLSE once out is sent
        self.closed = False    # CLSE sent or received
        self.inbuf = bytearray()
        self.in_eof = False
        threading.Thread(target=self._sender, daemon=True).start()

    def write(self, data):
        with self.cv:
            if not self.closed:
                self.out += data
                self.cv.notify_all()

    def finish(self):
        with self.cv:
            self.closing = True
            self.cv.notify_all()

    def on_okay(self):
        with self.cv:
            self.acked = True
            self.cv.notify_all()

    def on_data(self, data):
        with self.cv:
            self.inbuf += data
            self.cv.notify_all()
        self.input_ready()

    def on_close(self):
        with self.cv:
            self.closed = True
            self.in_eof = True
            self.cv.notify_all()
        self.hangup()

    def read(self, n):
        """Exactly n bytes of input, None when the stream closed first."""
        with self.cv:
            while len(self.inbuf) < n and not self.in_eof:
                self.cv.wait()
            if len(self.inbuf) < n:
                return None
            data = bytes(self.inbuf[:n])
            del self.inbuf[:n]
            return data

    def _sender(self):
        while True:
            with self.cv:
                while not self.closed and not (self.out and self.acked) and \
                        not (self.closing and not self.out):
                    self.cv.wait()
                if self.closed:
                    return
                if not self.out:
                    self.closed = True
                    self.in_eof = True
                    self.cv.notify_all()
                    chunk = None
                else:
                    n = min(len(self.out), self.conn.maxdata)
                    chunk = bytes(self.out[:n])
                    del self.out[:n]
                    self.acked = False
            if chunk is None:
                self.conn.send(A_CLSE, self.dev_id, self.host_id)
                self.conn.streams.pop(self.dev_id, None)
                return
            self.conn.send(A_WRTE, self.dev_id, self.host_id, chunk)

    def input_ready(self):
        pass

    def hangup(self):
        pass


def modem_env_cmd(argv):
    """ARGV run on the modem: clean environment, default signals, chroot."""
    return ["env", "-i", "--default-signal",
            "PATH=" + MODEM_PATH, "HOME=/", "EMU_CTL_DIR=/emu/ctl", "EMU_LOG_DIR=/emu/log",
            "chroot", ROOT] + argv


# Process groups of the modem's running commands, killed when the device
# goes away. Written by shell streams.
_groups = set()
_groups_lock = threading.Lock()


class ShellStream(Stream):
    def __init__(self, conn, host_id, cmd, v2):
        Stream.__init__(self, conn, host_id)
        self.v2 = v2
        self.proc = None
        self.pending = bytearray()   # v2 input packets not yet complete
        self.cmd = cmd
        self.extra = b""             # lines a lying modem adds to a listing

    def start(self):
        stderr = subprocess.PIPE if self.v2 else subprocess.STDOUT
        self.proc = subprocess.Popen(modem_env_cmd(["/bin/sh", "-c", self.cmd]),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=stderr, process_group=0, close_fds=True)
        with _groups_lock:
            _groups.add(self.proc.pid)
        pipes = [(self.proc.stdout, 1)]
        if self.v2:
            pipes.append((self.proc.stderr, 2))
        self.open_pipes = len(pipes)
        self.plock = threading.Lock()
        for pipe, pid in pipes:
            threading.Thread(target=self._pump, args=(pipe, pid), daemon=True).start()

    def _packet(self, pid, data):
        return struct.pack("<BI", pid, len(data)) + data

    def _pump(self, pipe, pid):
        fd = pipe.fileno()
        while True:
            try:
                data = os.read(fd, 65536)
            except OSError:
                data = b""
            if not data:
                break
            self.write(self._packet(pid, data) if self.v2 else data)
        if pid == 1 and self.extra:
            self.write(self._packet(1, self.extra) if self.v2 else self.extra)
        with self.plock:
            self.open_pipes -= 1
            last = self.open_pipes == 0
        if not last:
            return
        status = self.proc.wait()
        with _groups_lock:
            _groups.discard(self.proc.pid)
        if self.v2:
            code = 128 - status if status < 0 else status
            self.write(self._packet(3, bytes([code & 0xFF])))
        self.finish()

    def input_ready(self):
        with self.cv:
            data = bytes(self.inbuf)
            self.inbuf.clear()
        if not self.v2:
            self._stdin(data)
            return
        self.pending += data
        while len(self.pending) >= 5:
            pid, n = struct.unpack("<BI", self.pending[:5])
            if len(self.pending) < 5 + n:
                break
            body = bytes(self.pending[5:5 + n])
            del self.pending[:5 + n]
            if pid == 0:
                self._stdin(body)
            elif pid == 4 and self.proc:
                try:
                    self.proc.stdin.close()
                except OSError:
                    pass

    def _stdin(self, data):
        if not self.proc or not data:
            return
        try:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()
        except (OSError, ValueError):
            pass

    def hangup(self):
        if self.proc and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGHUP)
            except OSError:
                pass


class StallStream(Stream):
    """A service that never answers: the connection stays open, nothing comes."""


def modem_path(path):
    """PATH as the modem sees it, joined to the modem's root; never outside."""
    parts = []
    for p in path.split("/"):
        if p in ("", "."):
            continue
        if p == "..":
            if parts:
                parts.pop()
            continue
        parts.append(p)
    return os.path.join(ROOT, *parts) if parts else ROOT


def host_path_safe(path, follow=True):
    """The joined path; None when a symbolic link on the way (or at its end,
    when FOLLOW) leads out of the modem's root."""
    full = modem_path(path)
    real = os.path.realpath(full if follow else os.path.dirname(full))
    if real != ROOT and not real.startswith(ROOT + "/"):
        return None
    return full


class SyncStream(Stream):
    def __init__(self, conn, host_id):
        Stream.__init__(self, conn, host_id)
        self.stat_pending = None   # path stat'ed but not yet transferred

    def start(self):
        threading.Thread(target=self._serve, daemon=True).start()

    def _flush_stat(self):
        if self.stat_pending is not None:
            log_line("adb.calls", "stat " + self.stat_pending)
            self.stat_pending = None

    def _fail(self, text):
        data = text.encode()
        self.write(b"FAIL" + struct.pack("<I", len(data)) + data)
        self.finish()

    def _serve(self):
        try:
            while self._request():
                pass
        finally:
            self._flush_stat()
            self.finish()

    def _request(self):
        hdr = self.read(8)
        if hdr is None:
            return False
        rid, n = hdr[:4], struct.unpack("<I", hdr[4:])[0]
        if rid == b"QUIT":
            return False
        if n > 1024:
            self._fail("path too long")
            return False
        arg = self.read(n)
        if arg is None:
            return False
        path = arg.decode("utf-8", "surrogateescape")
        if rid in (b"STAT", b"STA2", b"LST2"):
            self._flush_stat()
            self.stat_pending = path
            self._stat(rid, path)
        elif rid in (b"LIST", b"LIS2"):
            self._flush_stat()
            log_line("adb.calls", "ls " + path)
            self._list(rid, path)
        elif rid == b"RECV":
            self.stat_pending = None
            log_line("adb.calls", "pull " + path)
            return self._recv(path)
        elif rid == b"SEND":
            self.stat_pending = None
            return self._send(path)
        else:
            self._fail("unknown sync request")
            return False
        return True

    def _stat(self, rid, path):
        full = host_path_safe(path, rid == b"STA2")
        try:
            if full is None:
                raise OSError(13, "outside")
            s = os.stat(full) if rid == b"STA2" else os.lstat(full)
        except OSError as e:
            if rid == b"STAT":
                self.write(b"STAT" + struct.pack("<3I", 0, 0, 0))
            else:
                self.write(rid + struct.pack("<I", e.errno or 5) + bytes(64))
            return
        if rid == b"STAT":
            self.write(b"STAT" + struct.pack("<3I", s.st_mode, s.st_size & 0xFFFFFFFF,
                                             int(s.st_mtime)))
        else:
            self.write(rid + struct.pack("<IQQIIIIQqqq", 0, s.st_dev, s.st_ino, s.st_mode,
                                         s.st_nlink, s.st_uid, s.st_gid, s.st_size,
                                         int(s.st_atime), int(s.st_mtime), int(s.st_ctime)))

    def _list(self, rid, path):
        full = host_path_safe(path)
        names = []
        if full is not None:
            try:
                names = os.listdir(full)
            except OSError:
                names = []
        for name in names:
            enc = os.fsencode(name)
            if len(enc) > 255:
                continue
            try:
                s = os.lstat(os.path.join(full, name))
            except OSError:
                continue
            if rid == b"LIST":
                self.write(b"DENT" + struct.pack("<4I", s.st_mode, s.st_size & 0xFFFFFFFF,
                                                 int(s.st_mtime), len(enc)) + enc)
            else:
                self.write(b"DNT2" + struct.pack("<IQQIIIIQqqqI", 0, s.st_dev, s.st_ino,
                                                 s.st_mode, s.st_nlink, s.st_uid, s.st_gid,
                                                 s.st_size, int(s.st_atime), int(s.st_mtime),
                                                 int(s.st_ctime), len(enc)) + enc)
        self.write(b"DONE" + bytes(16 if rid == b"LIST" else 72))

    def _recv(self, path):
        if consume("pull_fail_next") or percent_hit("pull_fail_percent"):
            note("pull failed on purpose: " + path)
            self._fail("read failed: Input/output error")
            return False
        full = host_path_safe(path)
        try:
            if full is None:
                raise OSError(13, "Permission denied")
            f = open(full, "rb")
        except OSError as e:
            self._fail("open failed: " + (e.strerror or "error"))
            return False
        hang = consume("pull_hang_next")
        delay = ctl_value("pull_delay_ms")
        if delay and delay > 0:
            time.sleep(delay / 1000.0)
        rate = ctl_value("pull_rate_bps")
        t0 = time.monotonic()
        sent = 0
        with f:
            while True:
                data = f.read(SYNC_DATA_MAX)
                if not data:
                    break
                self.write(b"DATA" + struct.pack("<I", len(data)) + data)
                sent += len(data)
                if hang:
                    note("pull stalled on purpose: " + path)
                    self._wait_closed()
                    return False
                if rate and rate > 0:
                    ahead = sent / rate - (time.monotonic() - t0)
                    if ahead > 0:
                        time.sleep(ahead)
        self.write(b"DONE" + struct.pack("<I", 0))
        return True

    def _wait_closed(self):
        with self.cv:
            while not self.closed:
                self.cv.wait()

    def _send(self, target):
        path, _, mode_text = target.rpartition(",")
        log_line("adb.calls", "push " + path)
        try:
            mode = int(mode_text)
        except ValueError:
            mode = 0o100644
        full = host_path_safe(path)
        data = bytearray()
        mtime = 0
        while True:
            hdr = self.read(8)
            if hdr is None:
                return False
            n = struct.unpack("<I", hdr[4:])[0]
            if hdr[:4] == b"DONE":
                mtime = n
                break
            if hdr[:4] != b"DATA" or n > SYNC_DATA_MAX:
                self._fail("bad push record")
                return False
            chunk = self.read(n)
            if chunk is None:
                return False
            data += chunk
        try:
            if full is None:
                raise OSError(13, "Permission denied")
            os.makedirs(os.path.dirname(full), exist_ok=True)
            if st.S_ISLNK(mode):
                # A link pushed from outside could point anywhere on the host.
                raise OSError(1, "symbolic links are not accepted")
            else:
                with open(full, "wb") as f:
                    f.write(data)
                perm = mode & 0o777
                os.chmod(full, perm | (perm & 0o700) >> 3 | (perm & 0o700) >> 6)
                os.utime(full, (mtime, mtime))
        except OSError as e:
            self._fail("write failed: " + (e.strerror or "error"))
            return False
        self.write(b"OKAY" + bytes(4))
        return True


def banner():
    props = "ro.product.name=modem;ro.product.model=modem;ro.product.device=modem"
    if OLD:
        return ("device::" + props + ";").encode()
    return ("device::" + props + ";features=" + FEATURES_MODERN).encode()


def open_service(conn, host_id, name):
    """Answers the host's OPEN of service NAME."""
    if os.path.exists(ctl_path("adb_offline")):
        # The device is going away (within a tenth of a second): nothing
        # more is served meanwhile.
        conn.send(A_CLSE, 0, host_id)
        return
    if name.startswith("shell"):
        head, sep, cmd = name.partition(":")
        if not sep:
            conn.send(A_CLSE, 0, host_id)
            return
        args = head.split(",")[1:]
        v2 = "v2" in args and not OLD
        log_line("adb.calls", "shell " + cmd)
        if "ls " in cmd:
            if consume("list_fail_next") or percent_hit("list_fail_percent"):
                note("listing failed on purpose: " + cmd)
                conn.send(A_CLSE, 0, host_id)
                return
            if consume("list_hang_next"):
                note("listing stalled on purpose: " + cmd)
                return stall(conn, host_id)
        if consume("shell_hang_next"):
            note("shell stalled on purpose: " + cmd)
            return stall(conn, host_id)
        if "nohup diag_mdlog " in cmd and os.path.exists(ctl_path("mdlog_nostart")):
            note("diag tool not started on purpose: " + cmd)
            conn.send(A_CLSE, 0, host_id)
            return
        s = ShellStream(conn, host_id, cmd, v2)
        if "ls " in cmd:
            try:
                with open(ctl_path("list_extra"), "rb") as f:
                    s.extra = f.read()
            except OSError:
                pass
            if s.extra and not s.extra.endswith(b"\n"):
                s.extra += b"\n"
        conn.streams[s.dev_id] = s
        conn.send(A_OKAY, s.dev_id, host_id)
        try:
            s.start()
        except OSError as e:
            note("cannot run a shell: %s" % e)
            s.finish()
    elif name == "sync:":
        s = SyncStream(conn, host_id)
        conn.streams[s.dev_id] = s
        conn.send(A_OKAY, s.dev_id, host_id)
        s.start()
    else:
        conn.send(A_CLSE, 0, host_id)


def stall(conn, host_id):
    s = StallStream(conn, host_id)
    conn.streams[s.dev_id] = s
    conn.send(A_OKAY, s.dev_id, host_id)


def serve(sock):
    conn = Conn(sock)
    try:
        while True:
            hdr = recv_exact(sock, 24)
            cmd, arg0, arg1, n, _check, magic = struct.unpack("<6I", hdr)
            if magic != cmd ^ 0xFFFFFFFF or n > 1024 * 1024:
                break
            data = recv_exact(sock, n) if n else b""
            if cmd == A_CNXN:
                conn.maxdata = min(MAXDATA, arg1 or MAXDATA)
                conn.send(A_CNXN, VERSION, MAXDATA, banner())
            elif cmd == A_OPEN:
                open_service(conn, arg0, data.rstrip(b"\0").decode("utf-8", "surrogateescape"))
            elif cmd in (A_OKAY, A_WRTE, A_CLSE):
                s = conn.streams.get(arg1)
                if s is None or s.host_id != arg0:
                    continue
                if cmd == A_OKAY:
                    s.on_okay()
                elif cmd == A_WRTE:
                    conn.send(A_OKAY, s.dev_id, s.host_id)
                    s.on_data(data)
                else:
                    conn.streams.pop(arg1, None)
                    s.on_close()
    except (EOFError, OSError):
        pass
    conn.alive = False
    for s in list(conn.streams.values()):
        s.on_close()
    try:
        sock.close()
    except OSError:
        pass


def announce(port):
    """Tells a running adb server to connect; ignored when none runs."""
    req = ("host:emulator:%d" % port).encode()
    try:
        with socket.create_connection(("127.0.0.1", 5037), timeout=1) as s:
            s.sendall(b"%04x" % len(req) + req)
    except OSError:
        pass


def kill_modem_processes(sig):
    """Signals every process whose root is the modem's (the modem's own)."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            if os.readlink("/proc/%s/root" % pid) == ROOT:
                os.kill(int(pid), sig)
        except OSError:
            pass


def device(port):
    """The device process: listens, announces, serves, and exits with 3 when
    a knob makes it go away (the supervisor reads the knob's files)."""
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    for _ in range(50):
        try:
            srv.bind(("127.0.0.1", port))
            break
        except OSError:
            time.sleep(0.1)
    srv.listen(8)
    announce(port)
    note("device up on 127.0.0.1:%d (%s modem)" % (port, "old" if OLD else "modern"))
    while True:
        r, _, _ = select.select([srv], [], [], 0.1)
        for knob in ("adbd_drop", "modem_reboot", "adb_offline"):
            if os.path.exists(ctl_path(knob)):
                os._exit(3)
        if r:
            sock, _ = srv.accept()
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=serve, args=(sock,), daemon=True).start()


def wait_absent(name):
    while os.path.exists(ctl_path(name)):
        time.sleep(0.1)


def take_seconds(name):
    """Consumes knob NAME; its value in seconds (-1: for ever)."""
    v = ctl_value(name)
    try:
        os.unlink(ctl_path(name))
    except OSError:
        pass
    return 0 if v is None else v


def supervise(argv, port):
    stopping = []

    def on_stop(sig, _frame):
        stopping.append(sig)

    signal.signal(signal.SIGTERM, on_stop)
    signal.signal(signal.SIGINT, on_stop)
    signal.signal(signal.SIGHUP, on_stop)
    while not stopping:
        child = subprocess.Popen(argv + ["--device"])
        while child.poll() is None and not stopping:
            time.sleep(0.1)
        if child.poll() is None:
            child.terminate()
            child.wait()
        kill_modem_processes(signal.SIGHUP)
        if stopping:
            break
        if os.path.exists(ctl_path("adb_offline")):
            note("offline")
            wait_absent("adb_offline")
        elif os.path.exists(ctl_path("modem_reboot")):
            secs = take_seconds("modem_reboot")
            note("reboot: modem gone for %d s" % secs)
            kill_modem_processes(signal.SIGKILL)
            run = os.path.join(ROOT, "run")
            for name in os.listdir(run):
                subprocess.call(["rm", "-rf", "--one-file-system", "--", os.path.join(run, name)])
            sleep_or_stop(secs, stopping)
        elif os.path.exists(ctl_path("adbd_drop")):
            secs = take_seconds("adbd_drop")
            note("connection dropped: device gone for %s s" % ("ever" if secs < 0 else secs))
            sleep_or_stop(secs, stopping)
        elif child.returncode != 3:
            note("device process ended (status %d); restarting" % child.returncode)
            sleep_or_stop(1, stopping)
    kill_modem_processes(signal.SIGKILL)


def sleep_or_stop(secs, stopping):
    end = time.monotonic() + (secs if secs >= 0 else 1e12)
    while not stopping and time.monotonic() < end:
        time.sleep(0.1)


def main():
    global ROOT, CTL, LOG, OLD, MAXDATA
    args = sys.argv[1:]
    opts = {"--port": "5555", "--maxdata": str(MAXDATA_DEFAULT)}
    flags = set()
    i = 0
    while i < len(args):
        if args[i] in ("--old", "--device"):
            flags.add(args[i])
            i += 1
        elif args[i] in ("--root", "--ctl", "--log", "--port", "--maxdata") and i + 1 < len(args):
            opts[args[i]] = args[i + 1]
            i += 2
        else:
            sys.stderr.write("usage: modem_adbd.py --root DIR --ctl DIR --log DIR "
                             "[--old] [--port P] [--maxdata N]\n")
            return 2
    if not all(k in opts for k in ("--root", "--ctl", "--log")):
        sys.stderr.write("modem_adbd: --root, --ctl and --log are needed\n")
        return 2
    ROOT = os.path.realpath(opts["--root"])
    CTL, LOG = opts["--ctl"], opts["--log"]
    OLD = "--old" in flags
    MAXDATA = max(4096, min(1024 * 1024, int(opts["--maxdata"])))
    port = int(opts["--port"])
    # Whatever mask or ignored signals we were started with must not reach
    # the modem's commands.
    signal.pthread_sigmask(signal.SIG_SETMASK, [])
    if "--device" in flags:
        signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
        device(port)
        return 0
    supervise([sys.executable, os.path.abspath(__file__)] +
              [a for a in sys.argv[1:] if a != "--device"], port)
    return 0


if __name__ == "__main__":
    sys.exit(main())
