"""Checks the switches of the test FTP server (pyftpd_server.py) against the
running server, with ftplib on 127.0.0.1: each server is started with its
switches, then all of them are checked at once. The switches that shape a
transfer are checked over TLS as well, when openssl is at hand.

Run with Debian's /usr/bin/python3 (python3-pyftpdlib); exit status 0 when every
check holds. Everything waits with a timeout, so the run stays within seconds.
"""

import ftplib
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "pyftpd_server.py")
USER = "zuno"
PASSWORD = "Check-Pass-7"
TIMEOUT = 5  # for each answer that should come
QUIET = 0.5  # how long an answer that should not come is waited for
START_LIMIT = 15
RUN_LIMIT = 60

# 2001 bytes: its first half is 1000 bytes, and it is longer than a stall lets through.
BOOKMARKS = b"<DL><p>\n" + bytes(range(256)) * 7 + b"x" * (2001 - 8 - 7 * 256)
FILES = {"bookmarks.html": BOOKMARKS, "other.txt": b"other\n", "small.txt": b"s" * 100}


class CheckFailed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise CheckFailed(what)


def make_certificate(directory):
    """A self-signed certificate and its key in one PEM file; None without openssl."""
    openssl = shutil.which("openssl")
    if openssl is None:
        return None
    pem = os.path.join(directory, "server.pem")
    subprocess.run([openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", pem, "-out",
                    pem + ".crt", "-days", "1", "-subj", "/CN=localhost"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=TIMEOUT)
    with open(pem + ".crt", "rb") as certificate, open(pem, "ab") as out:
        out.write(certificate.read())
    return pem


class Server:
    """One pyftpd_server.py process with its own root, files and log."""

    def __init__(self, work, name, switches, certificate):
        self.directory = os.path.join(work, name)
        self.root = os.path.join(self.directory, "root")
        os.makedirs(self.root)
        for file_name, content in FILES.items():
            with open(os.path.join(self.root, file_name), "wb") as out:
                out.write(content)
        password_file = os.path.join(self.directory, "password")
        with open(password_file, "w") as out:
            out.write(PASSWORD)
        self.port_file = os.path.join(self.directory, "port")
        self.log_file = os.path.join(self.directory, "server.log")
        self.tls = certificate is not None
        command = [sys.executable, SERVER, "--bind", "127.0.0.1", "--port", "0",
                   "--port-file", self.port_file, "--user", USER, "--password-file",
                   password_file, "--root", self.root] + switches
        if self.tls:
            command += ["--tls-certificate", certificate]
        with open(self.log_file, "wb") as log:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT)
        self.port = 0

    def wait_until_listening(self, deadline):
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise CheckFailed("the server ended at start: " + self.log()[-600:])
            try:
                with open(self.port_file) as source:
                    self.port = int(source.read())
                return
            except (OSError, ValueError):
                time.sleep(0.02)
        raise CheckFailed("the server did not announce its port: " + self.log()[-600:])

    def connect(self, timeout=TIMEOUT):
        """A logged-in session in binary mode, with TLS for data where the server has it."""
        if self.tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            ftp = ftplib.FTP_TLS(context=context, timeout=timeout)
        else:
            ftp = ftplib.FTP(timeout=timeout)
        ftp.connect("127.0.0.1", self.port)
        ftp.login(USER, PASSWORD)
        if self.tls:
            ftp.prot_p()
        ftp.voidcmd("TYPE I")
        return ftp

    def path(self, name):
        return os.path.join(self.root, name)

    def content(self, name):
        with open(self.path(name), "rb") as source:
            return source.read()

    def log(self):
        with open(self.log_file, errors="replace") as source:
            return source.read()

    def stop(self):
        self.process.kill()
        self.process.wait(timeout=TIMEOUT)


# --- helpers on a session


def download(ftp, name):
    parts = []
    reply = ftp.retrbinary("RETR " + name, parts.append)
    return b"".join(parts), reply


def listing(ftp, command):
    lines = []
    ftp.retrlines(command, lines.append)
    ftp.voidcmd("TYPE I")  # retrlines left it at ASCII
    return lines


def feat(ftp):
    return [line.strip() for line in ftp.sendcmd("FEAT").splitlines()[1:-1]]


def reply_text(ftp, command):
    """The reply to a command, whether it succeeded or not."""
    try:
        return ftp.sendcmd(command)
    except ftplib.Error as error:
        return str(error)


def reply_code(ftp, command):
    return reply_text(ftp, command)[:3]


def retr_reply(server, ftp, name):
    """The reply that opens a download asked for before its data connection is
    made, and the data."""
    host, port = ftp.makepasv()
    reply = ftp.sendcmd("RETR " + name)
    connection = socket.create_connection((host, port), timeout=TIMEOUT)
    if server.tls:
        connection = ftp.context.wrap_socket(connection, server_hostname=ftp.host)
    data = receive(connection)
    connection.close()
    ftp.voidresp()
    return reply, data


def stays_unanswered(ftp):
    """True when no reply arrives on the control connection within QUIET. The
    session's reader is of no more use after this; see still_unanswered."""
    ftp.sock.settimeout(QUIET)
    try:
        ftp.getresp()
    except (socket.timeout, TimeoutError):
        return True
    except (ftplib.Error, EOFError, OSError):
        return False
    finally:
        ftp.sock.settimeout(TIMEOUT)
    return False


def still_unanswered(ftp, command):
    """After stays_unanswered: True when the command, too, gets no reply within QUIET."""
    ftp.sock.sendall(command.encode() + b"\r\n")
    ftp.sock.settimeout(QUIET)
    try:
        ftp.sock.recv(1)
    except (socket.timeout, TimeoutError):
        return True
    return False


def is_dropped(ftp, command):
    """True when the server closes the connection on the command without a reply."""
    try:
        ftp.sendcmd(command)
    except (EOFError, ConnectionError):
        return True
    except (ftplib.Error, OSError):
        return False
    return False


def receive(connection, count=len(BOOKMARKS) + 1):
    """count bytes from the data connection, or all it brings until it ends."""
    connection.settimeout(TIMEOUT)
    data = b""
    while len(data) < count:
        chunk = connection.recv(count - len(data))
        if not chunk:
            break
        data += chunk
    return data


def stalls_after(connection, count):
    """The first count bytes from the data connection, and whether it then brings
    nothing, not even its end, within QUIET."""
    data = receive(connection, count)
    connection.settimeout(QUIET)
    try:
        connection.recv(1)
    except (socket.timeout, TimeoutError):
        return data, True
    return data, False


def grows_to(path, size):
    """Whether the file reaches size within TIMEOUT (the server writes it meanwhile)."""
    deadline = time.monotonic() + TIMEOUT
    while os.path.getsize(path) < size and time.monotonic() < deadline:
        time.sleep(0.02)
    return os.path.getsize(path) == size


def start_upload(ftp, name, data):
    """Sends an upload and closes its data connection (without a TLS goodbye,
    which would wait for the server's); the reply is left to the caller."""
    connection, _ = ftp.ntransfercmd("STOR " + name)
    connection.sendall(data)
    connection.close()


# --- the checks, one per server; each takes the running server


def check_defaults(server):
    """What the switches take away is there without them."""
    ftp = server.connect()
    features = feat(ftp)
    expect("SIZE" in features and "MDTM" in features, "FEAT offers SIZE and MDTM: %s" % features)
    expect(any(f.startswith("MLST ") and "size" in f for f in features),
           "FEAT offers MLST with size: %s" % features)
    expect(reply_code(ftp, "MDTM bookmarks.html") == "213", "MDTM answers")
    names = listing(ftp, "NLST")
    expect("bookmarks.html" in names, "NLST names the file: %s" % names)
    reply, _ = retr_reply(server, ftp, "small.txt")
    expect("bytes" not in reply, "the reply that opens a download gives no size: " + reply)
    ftp.rename("other.txt", "small.txt")
    expect(server.content("small.txt") == b"other\n", "RNTO replaces an existing name")
    ftp.quit()


def check_no_commands(server):
    """--no-mdtm with --no-size and --no-mlst: the commands are unknown and
    FEAT does not offer them."""
    ftp = server.connect()
    features = feat(ftp)
    for removed in ("SIZE", "MDTM", "MLST"):
        expect(not any(f.split(" ")[0] == removed for f in features),
               "FEAT does not offer %s: %s" % (removed, features))
        expect(reply_code(ftp, removed + " bookmarks.html") == "500", removed + " answers 500")
    expect(reply_code(ftp, "MLSD") == "500", "MLSD answers 500")
    ftp.quit()


def check_hide(server):
    """--hide bookmarks.html --hide small.txt"""
    ftp = server.connect()
    for command in ("NLST", "LIST", "MLSD"):
        lines = listing(ftp, command)
        expect(any("other.txt" in line for line in lines), "%s lists other.txt" % command)
        expect(not any("bookmarks.html" in line or "small.txt" in line for line in lines),
               "%s leaves the hidden names out: %s" % (command, lines))
    expect("size=%d;" % len(BOOKMARKS) in ftp.sendcmd("MLST bookmarks.html"), "MLST finds it")
    expect(ftp.size("bookmarks.html") == len(BOOKMARKS), "SIZE finds it")
    expect(reply_code(ftp, "MDTM bookmarks.html") == "213", "MDTM finds it")
    expect(download(ftp, "bookmarks.html")[0] == BOOKMARKS, "RETR sends it whole")
    ftp.quit()


def check_short_retr(server):
    ftp = server.connect()
    data, reply = download(ftp, "bookmarks.html")
    expect(reply.startswith("226"), "the short download ends with 226: " + reply)
    expect(data == BOOKMARKS[:len(BOOKMARKS) // 2],
           "the first half arrives (%d of %d bytes)" % (len(data), len(BOOKMARKS)))
    expect(ftp.size("bookmarks.html") == len(BOOKMARKS), "SIZE gives the whole size")
    ftp.quit()


def check_keep_half_stor(server):
    ftp = server.connect()
    upload = BOOKMARKS[::-1]
    reply = ftp.storbinary("STOR upload.html", _Reader(upload))
    expect(reply.startswith("226"), "the upload is answered 226: " + reply)
    half = len(upload) // 2
    expect(ftp.size("upload.html") == half, "SIZE gives the half")
    expect("size=%d;" % half in ftp.sendcmd("MLST upload.html"), "MLST gives the half")
    expect(server.content("upload.html") == upload[:half], "the first half is kept")
    ftp.quit()


class _Reader:
    """A file-like source for storbinary."""

    def __init__(self, data):
        self.data = data

    def read(self, size):
        chunk, self.data = self.data[:size], self.data[size:]
        return chunk


def check_refuse(server):
    """--fault 'SIZE up-*:refuse:2' --fault 'size */deep-*:refuse'"""
    ftp = server.connect()
    ftp.storbinary("STOR up-1", _Reader(b"12345"))
    expect(ftp.size("bookmarks.html") == len(BOOKMARKS), "other names are not refused")
    for attempt in (1, 2):
        reply = reply_text(ftp, "SIZE up-1")
        expect(reply == "550 Refused by the test server.", "refusal %d: %s" % (attempt, reply))
    expect(ftp.size("up-1") == 5, "after two refusals SIZE works")
    # The glob matches the argument's last path part too; the verb in any case.
    expect(reply_code(ftp, "size /dir/deep-1") == "550", "a lower-case verb is caught too")
    ftp.quit()


def check_drop(server):
    """--fault 'mdtm:drop' --fault 'CWD:drop:1'"""
    ftp = server.connect()
    expect(is_dropped(ftp, "MDTM bookmarks.html"), "MDTM closes the connection")
    ftp.close()
    ftp = server.connect()
    expect(is_dropped(ftp, "CWD /"), "the first CWD closes the connection")
    ftp.close()
    ftp = server.connect()
    expect(ftp.cwd("/").startswith("250"), "the second CWD works")
    ftp.quit()


def check_silence(server):
    """--fault 'RNTO:silence:1' --idle-timeout 0.3"""
    ftp = server.connect()
    ftp.sendcmd("RNFR other.txt")
    ftp.putcmd("RNTO renamed.txt")
    expect(stays_unanswered(ftp), "RNTO is not answered")
    expect(still_unanswered(ftp, "NOOP"), "later commands are not answered, nor is the idle end")
    expect(not os.path.exists(server.path("renamed.txt")), "nothing was renamed")
    ftp.close()
    ftp = server.connect()
    ftp.rename("other.txt", "renamed.txt")
    expect(os.path.exists(server.path("renamed.txt")), "after the fault RNTO works")
    ftp.quit()


def check_stall_retr(server):
    """--fault 'RETR:stall:2'"""
    ftp = server.connect()
    for name, size in (("bookmarks.html", 1024), ("small.txt", len(FILES["small.txt"]))):
        connection, _ = ftp.ntransfercmd("RETR " + name)
        data, stalled = stalls_after(connection, size)
        expect(data == FILES[name][:size] and stalled, "%s stalls after %d bytes" % (name, size))
        expect(stays_unanswered(ftp), "the stalled download of %s is not answered" % name)
        connection.close()
        ftp.close()
        ftp = server.connect()
    expect(download(ftp, "bookmarks.html")[0] == BOOKMARKS, "the third download is whole")
    ftp.quit()


def check_stall_stor(server):
    """--fault 'STOR:stall:2' --fault 'APPE:stall:1'"""
    big = BOOKMARKS * 3
    for name, data, verb in (("big.html", big, "STOR"), ("tiny.txt", b"t" * 10, "STOR"),
                             ("other.txt", big, "APPE")):
        ftp = server.connect()
        connection, _ = ftp.ntransfercmd("%s %s" % (verb, name))
        connection.sendall(data)
        connection.close()
        before = len(FILES.get(name, b""))
        kept = min(1024, len(data))
        expect(grows_to(server.path(name), before + kept),
               "%s of %s keeps %d bytes" % (verb, name, kept))
        expect(stays_unanswered(ftp), "the stalled %s of %s is not answered" % (verb, name))
        expect(server.content(name)[before:] == data[:kept],
               "%s of %s stops after %d bytes" % (verb, name, kept))
        ftp.close()
    ftp = server.connect()
    expect(ftp.storbinary("STOR big.html", _Reader(big)).startswith("226"), "then STOR works")
    expect(server.content("big.html") == big, "and keeps the whole file")
    ftp.quit()


def check_stall_tls(server):
    """--fault 'RETR:stall' --fault 'STOR:stall' over TLS."""
    ftp = server.connect()
    connection, _ = ftp.ntransfercmd("RETR bookmarks.html")
    data, stalled = stalls_after(connection, 1024)
    expect(data == BOOKMARKS[:1024] and stalled, "the download stalls after 1024 bytes")
    expect(stays_unanswered(ftp), "the stalled download is not answered")
    ftp.close()
    ftp = server.connect()
    start_upload(ftp, "big.html", BOOKMARKS * 3)
    expect(grows_to(server.path("big.html"), 1024), "the upload keeps 1024 bytes")
    expect(stays_unanswered(ftp), "the stalled upload is not answered")
    expect(server.content("big.html") == BOOKMARKS[:1024], "the upload stops after 1024 bytes")
    ftp.close()


def check_drop_stor(server):
    """--drop-stor-after 4096 (over TLS: its bytes arrive through the TLS layer)."""
    ftp = server.connect()
    connection, _ = ftp.ntransfercmd("STOR big.html")
    try:
        connection.sendall(BOOKMARKS * 100)
        connection.close()
    except OSError:
        pass  # the server may have closed the data connection already
    try:
        ftp.voidresp()
        dropped = False
    except (EOFError, ConnectionError):
        dropped = True
    expect(dropped, "the session ends during the upload")
    size = os.path.getsize(server.path("big.html"))
    expect(4096 <= size < len(BOOKMARKS) * 100, "the upload ends early (%d bytes)" % size)


def check_rnto_no_replace(server):
    ftp = server.connect()
    try:
        ftp.rename("other.txt", "small.txt")
        expect(False, "RNTO onto an existing name is refused")
    except ftplib.error_perm as error:
        expect(str(error).startswith("553") and "exists" in str(error), str(error))
    expect(server.content("small.txt") == FILES["small.txt"], "the existing file stays")
    ftp.rename("other.txt", "new.txt")
    expect(server.content("new.txt") == FILES["other.txt"], "RNTO onto a new name works")
    ftp.quit()


def check_trickle(server):
    """--trickle-retr 4000: 2001 bytes take half a second, and other sessions
    are answered meanwhile."""
    ftp = server.connect()
    other = server.connect()
    started = time.monotonic()
    result = {}
    fetch = threading.Thread(target=lambda: result.update(data=download(ftp, "bookmarks.html")[0]))
    fetch.start()
    time.sleep(0.1)
    other.voidcmd("NOOP")
    expect(fetch.is_alive(), "another session is answered while the download goes on")
    fetch.join(TIMEOUT)
    elapsed = time.monotonic() - started
    expect(result.get("data") == BOOKMARKS, "the trickled download is whole")
    expect(elapsed >= 0.35, "2001 bytes at 4000 B/s took %.2f s" % elapsed)
    other.quit()
    ftp.quit()


def check_no_size_facts(server):
    ftp = server.connect()
    lines = listing(ftp, "MLSD")
    expect(lines and not any("size=" in line for line in lines), "MLSD: %s" % lines)
    expect("size=" not in ftp.sendcmd("MLST bookmarks.html"), "MLST gives no size")
    expect(any(f.startswith("MLST ") and "size" not in f for f in feat(ftp)), "FEAT's MLST")
    long_lines = [line for line in listing(ftp, "LIST") if line.endswith("bookmarks.html")]
    expect(long_lines and " %d " % len(BOOKMARKS) in long_lines[0], "LIST: %s" % long_lines)
    ftp.quit()


def check_size_in_150(server):
    ftp = server.connect()
    # Both ways: the data connection open before RETR (ftplib's way) and after.
    connection, size = ftp.ntransfercmd("RETR bookmarks.html")
    data = receive(connection)
    connection.close()
    ftp.voidresp()
    expect(size == len(BOOKMARKS) and data == BOOKMARKS, "ftplib reads the size from the 150")
    reply, _ = retr_reply(server, ftp, "small.txt")
    expect(reply == "150 Opening BINARY mode data connection for small.txt (100 bytes).", reply)
    ftp.quit()


def check_log_commands(server):
    ftp = server.connect()
    listing(ftp, "NLST")
    ftp.quit()
    deadline = time.monotonic() + TIMEOUT
    while "SESSION CLOSE" not in server.log() and time.monotonic() < deadline:
        time.sleep(0.02)
    lines = [line for line in server.log().splitlines()
             if line.split(" ")[0] in ("SESSION", "CMD", "DATA")]
    wanted = ["SESSION OPEN", "CMD USER zuno", "CMD PASS ***", "CMD TYPE I", "CMD TYPE A",
              "CMD PASV", "CMD NLST", "CMD TYPE I", "CMD QUIT", "SESSION CLOSE"]
    if server.tls:
        wanted[1:1] = ["CMD AUTH TLS"]
        wanted[4:4] = ["CMD PBSZ 0", "CMD PROT P"]
    commands = [line for line in lines if line != "DATA OPEN"]
    expect(commands == wanted, "the log's lines: %s" % lines)
    # The data connection and NLST arrive together: either may be logged first.
    expect(lines.count("DATA OPEN") == 1
           and lines.index("CMD PASV") < lines.index("DATA OPEN") < lines.index("CMD QUIT"),
           "one data connection, after PASV: %s" % lines)
    expect(PASSWORD not in server.log(), "the password is not logged")


# Each server: its name, its switches, the checks run on it in turn, and whether
# it runs over TLS as well (the switches that shape what goes over a connection).
CASES = [
    ("defaults", [], [check_defaults], True),
    ("no-commands", ["--no-mdtm", "--no-size", "--no-mlst"], [check_no_commands], False),
    ("hide", ["--hide", "bookmarks.html", "--hide", "small.txt"], [check_hide], False),
    ("halves", ["--short-retr", "--keep-half-stor"], [check_short_retr, check_keep_half_stor],
     True),
    ("fault-refuse-drop", ["--fault", "SIZE up-*:refuse:2", "--fault", "size deep-*:refuse",
                           "--fault", "mdtm:drop", "--fault", "CWD:drop:1"],
     [check_refuse, check_drop], True),
    ("fault-silence", ["--fault", "RNTO:silence:1", "--idle-timeout", "0.3"], [check_silence],
     False),
    ("fault-stall-retr", ["--fault", "RETR:stall:2"], [check_stall_retr], False),
    ("fault-stall-stor", ["--fault", "STOR:stall:2", "--fault", "APPE:stall:1"],
     [check_stall_stor], False),
    ("replies", ["--rnto-no-replace", "--no-size-facts", "--size-in-150"],
     [check_rnto_no_replace, check_no_size_facts, check_size_in_150], True),
    ("trickle-retr", ["--trickle-retr", "4000"], [check_trickle], True),
    ("log-commands", ["--log-commands"], [check_log_commands], True),
]
TLS_ONLY_CASES = [
    ("fault-stall", ["--fault", "RETR:stall", "--fault", "STOR:stall"], [check_stall_tls]),
    ("drop-stor", ["--drop-stor-after", "4096"], [check_drop_stor]),
]


def run_checks(server, checks, deadline):
    """None when all checks hold on the server, else what failed."""
    try:
        server.wait_until_listening(deadline)
    except CheckFailed as error:
        return str(error)
    for check in checks:
        try:
            check(server)
        except Exception as error:  # every failure is reported, with its kind
            return "%s: %s: %s" % (check.__name__, type(error).__name__, error)
    return None


def main():
    work = tempfile.mkdtemp(prefix="pyftpd-check-")
    servers = []
    try:
        certificate = make_certificate(work)
        runs = [(name, switches, checks, None) for name, switches, checks, _ in CASES]
        if certificate is not None:
            runs += [(name + "+tls", switches, checks, certificate)
                     for name, switches, checks, tls in CASES if tls]
            runs += [(name + "+tls", switches, checks, certificate)
                     for name, switches, checks in TLS_ONLY_CASES]
        else:
            print("openssl is missing: the checks over TLS are left out")
        servers = [Server(work, name, switches, pem) for name, switches, _, pem in runs]
        deadline = time.monotonic() + START_LIMIT
        outcomes = {}

        def run(name, checks, server):
            began = time.monotonic()
            outcome = run_checks(server, checks, deadline)
            outcomes[name] = (outcome, time.monotonic() - began)

        threads = [threading.Thread(target=run, args=(name, checks, server), daemon=True)
                   for (name, _, checks, _), server in zip(runs, servers)]
        for thread in threads:
            thread.start()
        end = time.monotonic() + RUN_LIMIT
        for thread in threads:
            thread.join(max(0, end - time.monotonic()))
        failed = 0
        for name, switches, _, _ in runs:
            outcome, seconds = outcomes.get(name, ("did not finish in time", RUN_LIMIT))
            shown = "%s %s" % (name, " ".join(switches))
            if outcome is None:
                print("ok   %-60s %.2f s" % (shown, seconds))
            else:
                print("FAIL %s\n     %s" % (shown, outcome))
                failed += 1
        print("%d of %d servers pass their checks" % (len(runs) - failed, len(runs)))
        return 1 if failed else 0
    finally:
        for server in servers:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
