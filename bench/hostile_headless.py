#!/usr/bin/env python3
"""Hostile senders and a hostile system against the probe without a window
(`--headless`): echoed bytes that would break framing, pipes and signals,
delayed answers that pile up, bytes between blocks, settings files that
cannot be read. Prints one line of figures per scenario.

    bench/hostile_headless.py BUILD_DIR/AckmereProbe [SCENARIO...]
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from hostile import free_port, ini, wait_for

MESSAGE = (b"MSH|^~\\&|SENDER|FAC|ACKPROBE|FAC|202612070815||ADT^A01|%s|P|2.3\r"
           b"PID|1||12345^^^HOSP||DOE^JOHN||19700101|M\r")


def block(control_id):
    return b"\x0b" + MESSAGE % control_id + b"\x1c\r"


class Headless:
    """The headless probe in a folder of its own; its standard error kept."""

    def __init__(self, executable, msa="|AA||||||", options=None, stderr=None):
        self.dir = tempfile.mkdtemp(prefix="hostile-headless.")
        self.port = free_port()
        with open(os.path.join(self.dir, "ackprobe.ini"), "wb") as f:
            f.write(ini(self.port, msa))
        if options is not None:
            with open(os.path.join(self.dir, "ackprobe-options.ini"), "wb") as f:
                f.write(options)
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        self.process = subprocess.Popen(
            [executable, "--headless", "--settings-dir", self.dir], cwd=self.dir,
            stdout=subprocess.DEVNULL,
            stderr=stderr if stderr is not None else open(self.stderr_path, "wb"))
        self.listening = wait_for(self.accepts, 20)

    def accepts(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def lines(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace").splitlines()

    def log(self, name="logfile.txt"):
        try:
            with open(os.path.join(self.dir, name), "rb") as f:
                return f.read()
        except OSError:
            return b""

    def rss_mib(self, key="VmRSS"):
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) / 1024
        return 0.0

    def alive(self):
        return self.process.poll() is None

    def close(self):
        if self.alive():
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
        self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def read_answer(s, answer=None):
    """What comes on the socket up to an answer's end (FS CR) or the connection's,
    gathered in `answer` (a bytearray) when given, so a caller keeps it on an error."""
    answer = bytearray() if answer is None else answer
    while not answer.endswith(b"\x1c\r"):
        chunk = s.recv(1 << 20)
        if not chunk:
            break
        answer += chunk
    return bytes(answer)


def send_and_read(port, data, timeout=10):
    answer = bytearray()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(data)
            read_answer(s, answer)
    except OSError:
        pass  # a reset or a probe gone: what came is the answer
    return bytes(answer)


def echo_injection(executable):
    p = Headless(executable, msa="|AA|{MSH-10}")
    vt = send_and_read(p.port, MESSAGE % b"ID\x0bINJ")
    hashed = send_and_read(p.port, b"MSH#^~\\&#S#F#R#F#2026##ADT^A01#ID|EXTRA|FIELDS#P#2.3\r")
    msa = hashed[hashed.find(b"MSA"):].split(b"\r")[0]
    p.close()
    # A whole MLLP message, so that the 1 MiB field is one message's, twice.
    p = Headless(executable, msa="|AA|{MSH-10}", options=b"[Receive]\nWholeMllpMessages=true\n")
    long = send_and_read(p.port, block(b"X" * (1 << 20)))
    send_and_read(p.port, block(b"Y" * (1 << 20)))
    told = sum("cut" in line for line in p.lines())
    print("echo injection: VT bytes in the answer to an ID with VT: %d (1 is the start byte); "
          "MSA for '|' inside a '#' message: %r (fields: %d); answer to a 1 MiB MSH-10: %d bytes, "
          "cut told %d time(s)" % (vt.count(b"\x0b"), msa, msa.count(b"|"), len(long), told))
    p.close()


def sigpipe(executable):
    reader, writer = os.pipe()
    p = Headless(executable, stderr=writer)
    os.close(writer)
    os.close(reader)  # whoever read the status lines has gone
    answer = send_and_read(p.port, block(b"PIPE"), timeout=5) if p.alive() else b""
    time.sleep(0.2)
    logged = p.log().count(b"PIPE")
    status = "alive" if p.alive() else "ended by signal %d" % -p.process.returncode
    print("stderr reader gone: probe %s; message answered: %s, logged: %d" %
          (status, answer.endswith(b"\x1c\r"), logged))
    p.close()


def sighup(executable):
    p = Headless(executable)
    send_and_read(p.port, block(b"BEFORE"))
    os.rename(os.path.join(p.dir, "logfile.txt"), os.path.join(p.dir, "logfile.txt.1"))
    p.process.send_signal(signal.SIGHUP)
    time.sleep(0.3)
    answered = send_and_read(p.port, block(b"AFTER"), timeout=5).endswith(b"\x1c\r") \
        if p.alive() else False
    reopened = wait_for(lambda: b"AFTER" in p.log(), 3)
    alive = p.alive()
    p.process.send_signal(signal.SIGTERM)
    p.process.wait(10)
    said = [line for line in p.lines() if "reopen" in line]
    print("SIGHUP: alive after it: %s; answered: %s; next message in a new log at the path: %s; "
          "told: %r; 'Stopped.' at SIGTERM after: %s" %
          (alive, answered, reopened, said[:1], any(l.endswith("Stopped.") for l in p.lines())))
    shutil.rmtree(p.dir, ignore_errors=True)


def delayed_big_blocks(executable, megabytes=512):
    p = Headless(executable, options=b"[Receive]\nWholeMllpMessages=true\n"
                                     b"[Answer]\nMode=Delayed\nDelayMs=60000\n")
    before = p.rss_mib()
    piece = b"\x0b" + b"Z" * (65536 - 3) + b"\x1c\r"  # no CR before the end: a head of 64 KiB
    with socket.create_connection(("127.0.0.1", p.port)) as s:
        for _ in range(megabytes * 16):
            s.sendall(piece)
        wait_for(lambda: len(p.log()) >= megabytes * 16 * (len(piece) + 2) * 0.99, 60)
        peak = p.rss_mib()
    print("delayed answers, %d MiB of 64 KiB messages waiting 60 s: RSS %.0f MiB before, %.0f MiB "
          "with them waiting" % (megabytes, before, peak))
    p.close()


def delayed_many(executable, count=2000000):
    p = Headless(executable, options=b"[Receive]\nWholeMllpMessages=true\n"
                                     b"[Answer]\nMode=Delayed\nDelayMs=20000\n")
    before = p.rss_mib()
    answers = [0]
    s = socket.create_connection(("127.0.0.1", p.port))

    def reader():
        last = b""
        while True:
            chunk = s.recv(1 << 20)
            if not chunk:
                return
            answers[0] += (last + chunk[:1] == b"\x1c\r") + chunk.count(b"\x1c\r")
            last = chunk[-1:]

    t = threading.Thread(target=reader, daemon=True)
    t.start()
    one = block(b"M")
    batch = one * 10000
    for _ in range(count // 10000):
        s.sendall(batch)
    wait_for(lambda: len(p.log()) >= count * (len(one) + 2), 120)
    waiting = p.rss_mib()
    wait_for(lambda: answers[0] >= count, 120)
    time.sleep(3)  # the memory goes back a second after the last answer has left
    after = p.rss_mib()
    told = [line for line in p.lines() if "wait" in line.lower() and "answer" in line.lower()]
    print("%d delayed answers: RSS %.0f MiB before, %.0f MiB waiting, %.0f MiB after all %d "
          "answers went; bound told: %r" % (count, before, waiting, after, answers[0], told[:1]))
    s.close()
    p.close()


def whole_lf_between(executable, count=500):
    p = Headless(executable, options=b"[Receive]\nWholeMllpMessages=true\n")
    with socket.create_connection(("127.0.0.1", p.port), timeout=10) as s:
        s.sendall(b"".join(block(b"LF%d" % i) + b"\n" for i in range(count)))
        answers = b""
        while answers.count(b"\x1c\r") < count:
            chunk = s.recv(1 << 16)
            if not chunk:
                break
            answers += chunk
    wait_for(lambda: p.log().count(b"\r\n") >= count, 5)
    time.sleep(0.3)
    print("whole messages each followed by LF: %d sent; %d answers, %d log lines" %
          (count, answers.count(b"\x1c\r"), p.log().count(b"\r\n")))
    p.close()


def options_nul(executable):
    p = Headless(executable, options=b"[Answer]\nMode=Never\x00\nDelayMs=abc\n")
    time.sleep(0.3)
    notices = [line for line in p.lines() if "[Answer]" in line]
    print("a NUL in the options file: notices %r" % notices)
    p.close()


def symlink_loop(executable):
    folder = tempfile.mkdtemp(prefix="hostile-loop.")
    loop = os.path.join(folder, "ackprobe-options.ini")
    os.symlink(loop, loop)
    shutil.copy(executable, folder)
    port = free_port()
    with open(os.path.join(folder, "ackprobe.ini"), "wb") as f:
        f.write(ini(port))
    process = subprocess.Popen([executable, "--headless", "--settings-dir", folder], cwd=folder,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    time.sleep(1)
    process.send_signal(signal.SIGTERM)
    err = process.communicate(timeout=10)[1].decode("utf-8", "replace")
    said = [line for line in err.splitlines() if "symbolic" in line]
    print("options file a symlink loop: told %r" % said[:1])
    shutil.rmtree(folder, ignore_errors=True)


def make_certificates(folder):
    """A CA and a server certificate for localhost, made now, never kept."""
    def run(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Hostile CA")
    run("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "server.pem", "-days", "2")
    return os.path.join(folder, "ca.pem")


def tls_handshake_storm(executable, silent=300, plain=200, messages=200):
    certs = tempfile.mkdtemp(prefix="hostile-certs.")
    ca = make_certificates(certs)
    p = Headless(executable, options=("[TLS]\nCertificate=%s/server.pem\nKey=%s/server.key\n"
                                      % (certs, certs)).encode())
    # Connections that never say a word, and plain senders on the TLS port.
    held = []
    for _ in range(silent):
        try:
            held.append(socket.create_connection(("127.0.0.1", p.port), timeout=5))
        except OSError:
            break
    def plain_senders():
        for i in range(plain):
            send_and_read(p.port, block(b"PLAIN%d" % i), timeout=2)
    storm = threading.Thread(target=plain_senders)
    storm.start()
    import ssl
    context = ssl.create_default_context(cafile=ca)
    answered = 0
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", p.port), timeout=20) as raw:
            with context.wrap_socket(raw, server_hostname="localhost") as s:
                for i in range(messages):
                    s.sendall(block(b"GOOD%d" % i))
                    answered += read_answer(s).endswith(b"\x1c\r")
    except OSError as error:
        print("tls storm: the good sender failed: %s" % error)
    took = time.monotonic() - start
    storm.join()
    failures = sum("TLS handshake" in line for line in p.lines())
    rss = p.rss_mib()
    for s in held:
        s.close()
    print("tls handshake storm: %d silent and %d plain senders; the good TLS sender got %d of %d answers "
          "in %.1f s; handshake failures told: %d; logged: %d of %d; RSS %.0f MiB; alive: %s" %
          (len(held), plain, answered, messages, took, failures, p.log().count(b"GOOD"), messages, rss, p.alive()))
    p.close()
    shutil.rmtree(certs, ignore_errors=True)


def senders_storm(executable, connections=500, most=20, messages=10):
    p = Headless(executable, msa="|AA|{MSH-10}",
                 options=b"[Receive]\nSenders=Several\nMaxSenders=%d\n" % most)
    time.sleep(0.3)  # the check that it listens has gone
    links = []
    for _ in range(connections):
        try:
            links.append(socket.create_connection(("127.0.0.1", p.port), timeout=5))
        except OSError:
            break
    time.sleep(0.5)
    kept = []
    for s in links:
        s.settimeout(0.2)
        try:
            kept.append(s) if s.recv(1) != b"" else s.close()
        except socket.timeout:
            kept.append(s)  # still open: one of the senders kept
        except OSError:
            s.close()
    answered = 0
    for i in range(messages):
        for n, s in enumerate(kept):
            s.settimeout(10)
            s.sendall(block(b"S%d-%d" % (n, i)))
            answered += (b"|S%d-%d" % (n, i)) in read_answer(s)
    refused_told = sum("was refused" in line for line in p.lines())
    print("senders storm: %d connections at MaxSenders=%d: %d kept, %d closed; %d of %d answers echo "
          "their own ID; log lines: %d; refusals told: %d; alive: %s" %
          (len(links), most, len(kept), len(links) - len(kept), answered, len(kept) * messages,
           p.log().count(b"\r\n"), refused_told, p.alive()))
    for s in kept:
        s.close()
    p.close()


SCENARIOS = ["echo_injection", "sigpipe", "sighup", "whole_lf_between", "options_nul",
             "symlink_loop", "delayed_big_blocks", "delayed_many", "tls_handshake_storm", "senders_storm"]


def main():
    executable = os.path.abspath(sys.argv[1])
    for name in sys.argv[2:] or SCENARIOS:
        globals()[name](executable)


if __name__ == "__main__":
    main()
