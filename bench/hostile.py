#!/usr/bin/env python3
"""Hostile senders and a hostile system against the real program, under a
display of its own. Prints one line of figures per scenario.

    bench/hostile.py BUILD_DIR/AckmereProbe [SCENARIO...]   (needs xvfb, x11-utils, util-linux;
                                                 root for the full-disk scenario)
"""
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ACK_START, ACK_END = b"\x0b", b"\x1c\r"
ADT = (b"\x0bMSH|^~\\&|SENDER|FAC|ACKPROBE|FAC|202612070815||ADT^A01|MSG%d|P|2.3\r"
       b"PID|1||12345^^^HOSP||DOE^JOHN||19700101|M\r\x1c\r")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ini(port, msa="|AA||||||", log="logfile.txt"):
    items = ["[RemoteIP]", "0.0.0.0", "", "[Port]", str(port), "", "[AutoStart]", "On", "",
             "[ExitWarning]", "False", "", "[MSH before date]", "|||||", "",
             "[MSH after date]", "||ACK|||||||||", "", "[MSA Segment]", msa, "",
             "[Interface Name]", "Interface", "", "[Show Transaction Count]", " 0 ", "",
             "[Logfile Location]", log]
    return "".join(i + "\r\n" for i in items).encode("latin-1")


def ack_size(msa="|AA||||||"):
    return 1 + 3 + 5 + 12 + 14 + 1 + 3 + len(msa) + 1 + 2


class Program:
    """The program in a folder of its own, listening on a free port."""

    def __init__(self, executable, msa="|AA||||||", log="logfile.txt", limit=None, fsize=None,
                 cache=False):
        self.dir = tempfile.mkdtemp(prefix="hostile.")
        self.port = free_port()
        shutil.copy(executable, self.dir)
        with open(os.path.join(self.dir, "ackprobe.ini"), "wb") as f:
            f.write(ini(self.port, msa, log))
        command = [os.path.join(self.dir, os.path.basename(executable))]
        if limit:
            command = ["prlimit", "--nofile=%d" % limit, "--"] + command
        if fsize:
            command = ["prlimit", "--fsize=%d" % fsize, "--"] + command
        env = dict(os.environ)
        if cache:  # the message store's spill file in the program's folder
            env["XDG_CACHE_HOME"] = os.path.join(self.dir, "cache")
        self.process = subprocess.Popen(command, cwd=self.dir, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, env=env)
        self.listening = wait_for(lambda: connects(self.port), 20)

    def alive(self):
        return self.process.poll() is None

    def log(self, name="logfile.txt"):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def close(self):
        if self.alive():
            self.process.kill()
        self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def connects(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


def read_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            break
        data += chunk
    return data


def message_boxes():
    """Windows titled as the program's message boxes, on the display."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True).stdout
    # The boxes have the title and the class; the hidden leader window only the title.
    return sum(1 for line in tree.splitlines() if '"AckmereProbe": ("AckmereProbe"' in line)


def connection_per_message(executable, count=1000):
    p = Program(executable)
    answered = refused = reset = 0
    for i in range(count):
        try:
            s = socket.create_connection(("127.0.0.1", p.port), timeout=10)
        except ConnectionRefusedError:
            refused += 1
            continue
        try:
            s.sendall(ADT % i)
            answered += len(read_exactly(s, ack_size())) == ack_size()
        except OSError:
            reset += 1
        s.close()
    wait_for(lambda: p.log().count(b"\r\n") >= answered, 5)
    in_order = p.log() == b"".join(ADT % i + b"\r\n" for i in range(count))
    print("connection per message: %d of %d first attempts answered, %d refused, %d reset; "
          "log whole and in order: %s" % (answered, count, refused, reset, in_order))
    p.close()


def reset_storm(executable, count=2000):
    p = Program(executable)
    answered = 0
    most_boxes = 0
    for i in range(count):
        try:
            s = socket.create_connection(("127.0.0.1", p.port), timeout=10)
            s.sendall(b"reset %d" % i)
            answered += len(read_exactly(s, ack_size())) == ack_size()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            s.close()
        except OSError:
            pass
        if i % 200 == 199:
            most_boxes = max(most_boxes, message_boxes())
    time.sleep(0.5)
    most_boxes = max(most_boxes, message_boxes())
    logged = p.log().count(b"\r\n")
    print("reset storm: %d resets, %d answered, %d logged, at most %d boxes on screen, "
          "program alive: %s" % (count, answered, logged, most_boxes, p.alive()))
    p.close()


def half_close(executable, count=10000, answer=4096):
    msa = "|AA|" + "x" * (answer - ack_size("|AA|"))
    p = Program(executable, msa=msa)
    s = socket.create_connection(("127.0.0.1", p.port), timeout=60)
    for i in range(count):
        s.sendall(ADT % i)
        time.sleep(0.0002)  # most messages arrive on their own
    s.shutdown(socket.SHUT_WR)
    data = b""
    while True:
        chunk = s.recv(1 << 20)
        if not chunk:
            break
        data += chunk
    whole = sum(1 for k in range(len(data) // ack_size(msa))
                if data[k * ack_size(msa)] == 0x0B
                and data[(k + 1) * ack_size(msa) - 2:(k + 1) * ack_size(msa)] == ACK_END)
    torn = len(data) % ack_size(msa) != 0
    arrivals = p.log().count(b"\r\n")
    print("half-close (answers of %d bytes): %d arrivals logged, %d answers delivered whole, "
          "last torn: %s" % (answer, arrivals, whole, torn))
    p.close()


def never_reads(executable, answer=1 << 20):
    msa = "|AA|" + "x" * (answer - ack_size("|AA|"))
    p = Program(executable, msa=msa)
    s = socket.create_connection(("127.0.0.1", p.port), timeout=60)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sent = 0
    try:
        for i in range(200):
            s.sendall(ADT % i)
            sent += 1
            time.sleep(0.01)
    except OSError:
        pass
    rss = int(next(l.split()[1] for l in open("/proc/%d/status" % p.process.pid)
                   if l.startswith("VmRSS"))) // 1024
    print("sender that never reads (answers of 1 MiB): %d of 200 sent before the program "
          "dropped it, resident %d MiB, still listening: %s" % (sent, rss, connects(p.port)))
    p.close()


def out_of_descriptors(executable):
    p = Program(executable)
    pid = p.process.pid
    soft, hard = open("/proc/%d/limits" % pid).read().split("Max open files")[1].split()[:2]
    # Every descriptor the program may have is in use: the next accept fails.
    held = len(os.listdir("/proc/%d/fd" % pid))
    subprocess.run(["prlimit", "--pid", str(pid), "--nofile=%d:%s" % (held, hard)], check=True)
    s = socket.create_connection(("127.0.0.1", p.port), timeout=10)
    cpu_before = sum(int(x) for x in open("/proc/%d/stat" % pid).read().split()[13:15])
    time.sleep(2)
    cpu = sum(int(x) for x in open("/proc/%d/stat" % pid).read().split()[13:15]) - cpu_before
    subprocess.run(["prlimit", "--pid", str(pid), "--nofile=%s:%s" % (soft, hard)], check=True)
    ok = False
    try:
        s.sendall(ADT % 0)
        ok = len(read_exactly(s, ack_size())) == ack_size()
    except OSError:
        pass
    print("out of descriptors: %.0f %% of a core used while starved for 2 s, the waiting "
          "sender answered once descriptors were free: %s" % (cpu / os.sysconf("SC_CLK_TCK") / 2 * 100, ok))
    p.close()


def full_disk(executable, count=200):
    if os.geteuid() != 0:
        print("full disk: skipped (mounting needs root)")
        return
    mount = tempfile.mkdtemp(prefix="hostile.disk.")
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", mount]).returncode:
        print("full disk: skipped (cannot mount)")
        return
    p = None
    try:
        p = Program(executable, log=os.path.join(mount, "logfile.txt"))
        filler = os.path.join(mount, "filler")
        with open(filler, "wb") as f:
            try:
                f.write(b"x" * (256 * 1024))
            except OSError:
                pass
        s = socket.create_connection(("127.0.0.1", p.port), timeout=10)
        answered = 0
        for i in range(count):
            s.sendall(ADT % i)
            answered += len(read_exactly(s, ack_size())) == ack_size()
        os.remove(filler)
        s.sendall(ADT % count)
        read_exactly(s, ack_size())
        expected = b"".join(ADT % i + b"\r\n" for i in range(count + 1))
        wait_for(lambda: p.log(os.path.join(mount, "logfile.txt")) == expected, 5)
        log = p.log(os.path.join(mount, "logfile.txt"))
        print("full disk: %d answered while full, log holds %d of %d lines after space came "
              "back, exact and in order: %s" % (answered, log.count(b"\r\n"), count + 1,
                                                log == expected))
    finally:
        if p:
            p.close()
        subprocess.run(["umount", mount])
        os.rmdir(mount)


def fifo_log(executable):
    folder = tempfile.mkdtemp(prefix="hostile.fifo.")
    fifo = os.path.join(folder, "log.fifo")
    os.mkfifo(fifo)
    p = Program(executable, log=fifo)
    # Start does not hang in open(): the window comes up with the box that
    # says the log could not be opened, and waits for the operator.
    told = wait_for(lambda: message_boxes() == 1, 20)
    print("FIFO as logfile: the open-failure box within 20 s: %s, alive: %s" % (told, p.alive()))
    p.close()
    shutil.rmtree(folder)


def descriptors(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return -1


def replacing_storm(executable, count=1500, limit=1024, answer=16384):
    """Peers that each replace the last and never read, at a descriptor limit;
    then a normal sender."""
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, count + 512)), hard))
    msa = "|AA|" + "x" * (answer - ack_size("|AA|"))
    p = Program(executable, msa=msa, limit=limit)
    peers, most, started = [], 0, time.monotonic()
    for i in range(count):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        try:
            s.connect(("127.0.0.1", p.port))
            for k in range(10):
                s.sendall(ADT % (i * 10 + k))
            # Answered (readable), though never read, before the next one replaces it.
            poller = select.poll()
            poller.register(s, select.POLLIN)
            poller.poll(5000)
        except OSError:
            pass
        peers.append(s)
        if i % 50 == 49:
            most = max(most, descriptors(p.process.pid))
    storm = time.monotonic() - started
    time.sleep(0.5)
    most = max(most, descriptors(p.process.pid))
    began = time.monotonic()
    ok = False
    try:
        n = socket.create_connection(("127.0.0.1", p.port), timeout=60)
        n.sendall(ADT % 999999)
        ok = len(read_exactly(n, ack_size(msa))) == ack_size(msa)
        n.close()
    except OSError:
        pass
    waited = (time.monotonic() - began) * 1000
    boxes = message_boxes()
    print("replacing storm: %d peers that never read at a limit of %d descriptors in %.1f s, "
          "at most %d descriptors held; a normal sender after it answered: %s in %.0f ms; "
          "%d boxes on screen, alive: %s" % (count, limit, storm, most, ok, waited, boxes, p.alive()))
    for s in peers:
        s.close()
    p.close()


def file_size_limit_log(executable, count=1500, size=1000, limit=1 << 20):
    """The log passes a file-size limit (ulimit -f)."""
    body = b"x" * (size - len(ADT % 0))
    p = Program(executable, fsize=limit)
    s = socket.create_connection(("127.0.0.1", p.port), timeout=10)
    answered = 0
    try:
        for i in range(count):
            s.sendall((ADT % i)[:-2] + body + ACK_END)
            answered += len(read_exactly(s, ack_size())) == ack_size()
    except OSError:
        pass
    log = p.log()
    lines = log.split(b"\r\n")
    expected = [(ADT % i)[:-2] + body + ACK_END for i in range(len(lines) - 1)]
    whole = log.endswith(b"\r\n") and lines[:-1] == expected
    print("file-size limit of %d bytes on the log: %d of %d answered, log %d bytes with %d lines, "
          "whole and in order: %s, %d boxes on screen, alive: %s"
          % (limit, answered, count, len(log), len(lines) - 1, whole, message_boxes(), p.alive()))
    p.close()


def file_size_limit_store(executable, pieces=500, size=60000, limit=10 << 20):
    """Only the message store's spill file passes a file-size limit (log on /dev/null)."""
    p = Program(executable, log="/dev/null", fsize=limit, cache=True)
    s = socket.create_connection(("127.0.0.1", p.port), timeout=10)
    answered = 0
    try:
        for i in range(pieces):
            s.sendall(b"%06d" % i + b"y" * (size - 6))
            answered += len(read_exactly(s, ack_size())) == ack_size()
    except OSError:
        pass
    time.sleep(0.5)
    spill = -1
    if p.alive():
        fds = ["/proc/%d/fd/%s" % (p.process.pid, fd) for fd in os.listdir("/proc/%d/fd" % p.process.pid)]
        spill = sum(os.path.getsize(f) for f in fds if os.readlink(f).startswith(os.path.join(p.dir, "cache")))
    rss = int(next(l.split()[1] for l in open("/proc/%d/status" % p.process.pid)
                   if l.startswith("VmRSS"))) // 1024 if p.alive() else -1
    print("file-size limit of %d MiB on the spill file: %d MB in %d pieces, %d answered, "
          "spill file %d bytes, resident %d MiB, %d boxes on screen, alive: %s"
          % (limit >> 20, pieces * size // 1000000, pieces, answered, spill, rss,
             message_boxes(), p.alive()))
    p.close()


SCENARIOS = ["connection_per_message", "reset_storm", "half_close", "never_reads",
             "out_of_descriptors", "full_disk", "fifo_log", "replacing_storm",
             "file_size_limit_log", "file_size_limit_store"]


def main():
    executable = os.path.abspath(sys.argv[1])
    xvfb = None
    if "DISPLAY" not in os.environ:
        display = next(":%d" % n for n in range(90, 150)
                       if not os.path.exists("/tmp/.X11-unix/X%d" % n))
        xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1280x1024x24"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.environ["DISPLAY"] = display
        time.sleep(1)
    try:
        for name in sys.argv[2:] or SCENARIOS:
            globals()[name](executable)
    finally:
        if xvfb:
            xvfb.send_signal(signal.SIGTERM)
            xvfb.wait()


if __name__ == "__main__":
    main()
