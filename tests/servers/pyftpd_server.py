"""An FTP server for the tests: one account on loopback, with switches for misbehaviour.

Run with Debian's /usr/bin/python3 (python3-pyftpdlib). It serves until it is killed.

  --bind ADDR --port N         where to listen (127.0.0.1 or ::1 only; port 0: a free one)
  --port-file FILE             where to write the port once the server listens
  --user U --password-file F   the one account; its password is the content of F
  --root DIR                   the directory that the server shows as "/"
  --login PATH                 the account's login directory, as the server shows it
                               ("/" by default; e.g. "/home/user" makes "/" differ from it)
  --perm LETTERS               the account's pyftpdlib permissions (default: all)
  --no-size                    the server does not know SIZE
  --no-mlst                    the server does not know MLST and MLSD
  --drop-retr-after N          a download ends the session after N bytes of data
  --stall-retr-after N         a download stops sending after N bytes, connections left open
  --drop-stor-after N          an upload ends the session after N bytes have arrived
  --idle-timeout S             a session without commands for S seconds is ended ("421")
  --drop-silently              the idle end closes the connection without a word
  --mute-quit                  QUIT is never answered and the connection stays open
  --silent                     a plain TCP listener that accepts and never says anything
  --tls-certificate FILE       explicit TLS (AUTH TLS) with the certificate and key in FILE,
                               required for the login and for every data connection
  --no-mdtm                    the server does not know MDTM
  --hide NAME                  directory listings (LIST, NLST, MLSD) leave NAME out; the
                               name itself still answers MLST, SIZE, MDTM and RETR
                               (repeatable)
  --short-retr                 a download sends the first half of the file (size / 2,
                               rounded down) and ends with "226" as if complete
  --keep-half-stor             an upload is answered "226", but only the first half of
                               what arrived is kept
  --fault SPEC                 SPEC is VERB[ GLOB]:KIND[:COUNT] (repeatable): a command
                               VERB whose argument (or its last path part) matches the
                               fnmatch pattern GLOB is not executed; instead, by KIND:
                                 drop     the control connection is closed, no reply
                                 silence  no reply, ever: the session ignores all later
                                          commands and stays open
                                 refuse   "550 Refused by the test server."
                                 stall    (STOR, RETR, APPE) the transfer stops after
                                          1024 bytes, connections open, no reply
                               COUNT times (default: every time); after that the command
                               works. The verb is matched in any case. The log notes
                               each one that fires as "FAULT KIND VERB".
  --rnto-no-replace            RNTO onto a name that exists is refused ("553")
  --trickle-retr BPS           downloads are sent at BPS bytes per second
  --no-size-facts              MLSD and MLST give no size fact
  --size-in-150                the reply that opens a download gives its size:
                               "150 Opening BINARY mode data connection for NAME (N bytes).",
                               also where pyftpdlib would say "125" (data connection open)
  --log-commands               the log gets "SESSION OPEN" and "SESSION CLOSE" for each
                               session, "CMD VERB ARGUMENT" for each command received
                               ("CMD PASS ***" for the password) and "DATA OPEN" for each
                               data connection
"""

import argparse
import fnmatch
import logging
import os
import re
import signal
import socket
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.ioloop import IOLoop, RetryError
from pyftpdlib.log import logger
from pyftpdlib.servers import FTPServer

LOOPBACK = ("127.0.0.1", "::1")
FAULT_KINDS = ("drop", "silence", "refuse", "stall")
# The commands whose transfer a "stall" fault stops, and after how many bytes.
TRANSFER_VERBS = ("STOR", "RETR", "APPE")
STALL_AFTER = 1024
# A trickled download goes out in this many pieces a second.
TRICKLE_PIECES_PER_SECOND = 10

# The lines that tests read back from the log: sessions, commands, data connections.
note = logging.getLogger("zuno-test-server").info


class Fault:
    """One --fault: the commands it catches, what it does instead, how often still."""

    FORM = re.compile(r"([A-Za-z]+)(?: (.+?))?:(%s)(?::(\d+))?" % "|".join(FAULT_KINDS))

    def __init__(self, spec):
        match = Fault.FORM.fullmatch(spec)
        if match is None:
            raise ValueError("%r is not VERB[ GLOB]:KIND[:COUNT], KIND one of %s"
                             % (spec, ", ".join(FAULT_KINDS)))
        self.verb = match.group(1).upper()
        self.glob = match.group(2)
        self.kind = match.group(3)
        # -1: every time.
        self.left = int(match.group(4)) if match.group(4) is not None else -1
        if self.kind == "stall" and self.verb not in TRANSFER_VERBS:
            raise ValueError("%r: only %s transfers can stall" % (spec, ", ".join(TRANSFER_VERBS)))

    def catches(self, verb, argument):
        if self.left == 0 or verb != self.verb:
            return False
        if self.glob is None:
            return True
        # The argument as sent, or its last path part: clients name a file
        # either way ("name" after CWD, or "/dir/name").
        last = argument.rsplit("/", 1)[-1]
        return fnmatch.fnmatchcase(argument, self.glob) or fnmatch.fnmatchcase(last, self.glob)

    def fire(self):
        if self.left > 0:
            self.left -= 1


def fault_spec(text):
    try:
        return Fault(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error))


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", default="")
    parser.add_argument("--user", default="zuno")
    parser.add_argument("--password-file", default="")
    parser.add_argument("--root", default=".")
    parser.add_argument("--login", default="/")
    parser.add_argument("--perm", default="elradfmwMT")
    parser.add_argument("--no-size", action="store_true")
    parser.add_argument("--no-mlst", action="store_true")
    parser.add_argument("--drop-retr-after", type=int, default=-1)
    parser.add_argument("--stall-retr-after", type=int, default=-1)
    parser.add_argument("--drop-stor-after", type=int, default=-1)
    parser.add_argument("--idle-timeout", type=float, default=0)
    parser.add_argument("--drop-silently", action="store_true")
    parser.add_argument("--mute-quit", action="store_true")
    parser.add_argument("--silent", action="store_true")
    parser.add_argument("--tls-certificate", default="")
    parser.add_argument("--no-mdtm", action="store_true")
    parser.add_argument("--hide", action="append", default=[], metavar="NAME")
    parser.add_argument("--short-retr", action="store_true")
    parser.add_argument("--keep-half-stor", action="store_true")
    parser.add_argument("--fault", action="append", default=[], type=fault_spec, metavar="SPEC")
    parser.add_argument("--rnto-no-replace", action="store_true")
    parser.add_argument("--trickle-retr", type=int, default=0, metavar="BPS")
    parser.add_argument("--no-size-facts", action="store_true")
    parser.add_argument("--size-in-150", action="store_true")
    parser.add_argument("--log-commands", action="store_true")
    args = parser.parse_args()
    if args.bind not in LOOPBACK:
        parser.error("only loopback addresses are served")
    if args.trickle_retr < 0:
        parser.error("--trickle-retr needs a positive rate")
    return args


def family_of(address):
    return socket.AF_INET6 if ":" in address else socket.AF_INET


def announce_port(args, port):
    """Writes the port for the test that waits for it, in one step."""
    if not args.port_file:
        return
    partial = args.port_file + ".partial"
    with open(partial, "w") as out:
        out.write("%d\n" % port)
    os.rename(partial, args.port_file)


def serve_silently(args):
    """Accepts connections and holds them open without ever sending a byte."""
    listener = socket.socket(family_of(args.bind), socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.bind, args.port))
    listener.listen(16)
    announce_port(args, listener.getsockname()[1])
    held = []
    while True:
        connection, _ = listener.accept()
        held.append(connection)


def wake_for_due_timers():
    """pyftpdlib 1.5.7's I/O loop hands its poll a timeout of 0 when a timer is
    due at once (e.g. the idle limit of a session that has sent a command), and
    its poll takes 0 for "no limit": the timer then waits for the next I/O on
    any connection, for ever on a quiet server. A due timer waits 1 ms instead."""
    poll = IOLoop.poll

    def prompt_poll(self, timeout):
        return poll(self, 0.001 if timeout is not None and timeout <= 0 else timeout)

    IOLoop.poll = prompt_poll


def make_filesystem(args):
    hidden = frozenset(args.hide)

    class LoginDirFS(AbstractedFS):
        """The account sees the whole root, and starts in its login directory."""

        def __init__(self, root, cmd_channel):
            super().__init__(root, cmd_channel)
            self.cwd = args.login

        def listdir(self, path):
            # Only directory listings go through here: MLST, SIZE, MDTM and RETR
            # still find a hidden name.
            return [name for name in super().listdir(path) if name not in hidden]

    return LoginDirFS


class FirstPart:
    """A download's producer that ends after its first `size` bytes."""

    def __init__(self, producer, size):
        self.producer = producer
        self.file = producer.file
        self.left = size

    def more(self):
        if self.left <= 0:
            return b""
        data = self.producer.more()[:self.left]
        self.left -= len(data)
        return data


def make_dtp(args, base):
    piece = max(1, args.trickle_retr // TRICKLE_PIECES_PER_SECOND)

    class MisbehavingDTP(base):
        # A transfer that a "stall" fault caught is armed; past its bytes it is
        # held: out of the I/O loop, connection open, no reply. It is closed for
        # real only once released by the session (its end, ABOR, a new PASV...).
        _stall_armed = False
        _held = False
        _released = False
        _halved = False
        _dropping = False
        _kept_from = 0
        _trickle_budget = 0
        _trickle_wait = None

        def __init__(self, sock, cmd_channel):
            super().__init__(sock, cmd_channel)
            if args.log_commands and self.connected:
                note("DATA OPEN")

        def _limit(self):
            return args.stall_retr_after if args.stall_retr_after >= 0 else args.drop_retr_after

        def _download(self):
            return not self.receive and self.file_obj is not None

        def _take_stall(self):
            if self.cmd_channel._stall_pending:
                self.cmd_channel._stall_pending = False
                self._stall_armed = True

        def use_sendfile(self):
            # Plain send() so that every byte passes through send() below.
            if (self._limit() >= 0 or self._stall_armed or args.short_retr
                    or args.trickle_retr > 0):
                return False
            return super().use_sendfile()

        def push_with_producer(self, producer):
            self._take_stall()
            self._trickle_budget = piece
            super().push_with_producer(producer)

        def enable_receiving(self, type, cmd):
            self._take_stall()
            super().enable_receiving(type, cmd)
            # Where this upload's bytes begin (APPE and REST write after others).
            self._kept_from = self.file_obj.tell()

        def send(self, data):
            if self.receive:
                return super().send(data)
            if self._held:
                return 0
            if self._stall_armed:
                if self.tot_bytes_sent >= STALL_AFTER:
                    self._hold()
                    return 0
                data = data[:STALL_AFTER - self.tot_bytes_sent]
            trickled = args.trickle_retr > 0 and self._download()
            if trickled:
                if self._trickle_budget <= 0:
                    self._trickle_pause()
                    return 0
                data = data[:self._trickle_budget]
            limit = self._limit()
            if limit < 0:
                sent = super().send(data)
            else:
                room = limit - self.tot_bytes_sent
                sent = super().send(data[:room]) if room > 0 else 0
                if self.tot_bytes_sent >= limit:
                    # Stop asking to write: a stall stays a stall, without spinning.
                    self.modify_ioloop_events(self.ioloop.READ)
                    if args.drop_retr_after >= 0:
                        self.cmd_channel.ioloop.call_later(0.05, self.cmd_channel.close)
                    return sent
            if trickled:
                self._trickle_budget -= sent
                if self._trickle_budget <= 0:
                    self._trickle_pause()
            if self._stall_armed and self.tot_bytes_sent >= STALL_AFTER:
                self._hold()
            return sent

        def recv(self, buffer_size):
            # Every byte of an upload comes through here, with TLS or without.
            if self._stall_armed:
                if self.tot_bytes_received >= STALL_AFTER:
                    self._hold()
                    raise RetryError
                buffer_size = min(buffer_size, STALL_AFTER - self.tot_bytes_received)
            data = super().recv(buffer_size)
            if (args.drop_stor_after >= 0 and self.receive and not self._dropping
                    and self.tot_bytes_received + len(data) >= args.drop_stor_after):
                # Once this piece is written, before anything else is read.
                self._dropping = True
                self.ioloop.call_later(0, self.cmd_channel.close)
            return data

        def _trickle_pause(self):
            # Asked to write again (e.g. by the TLS layer) before the next piece
            # is due, it goes back to waiting.
            self.modify_ioloop_events(self.ioloop.READ)
            if self._trickle_wait is None and not self._closed:
                self._trickle_wait = self.call_later(piece / args.trickle_retr,
                                                     self._trickle_resume)

        def _trickle_resume(self):
            self._trickle_wait = None
            self._trickle_budget = piece
            if not self._closed and not self._held:
                self.modify_ioloop_events(self.ioloop.WRITE)

        def _hold(self):
            if self._held:
                return
            self._held = True
            if self._idler is not None and not self._idler.cancelled:
                self._idler.cancel()
            self.del_channel()
            if self.receive and self.file_obj is not None and not self.file_obj.closed:
                # What arrived is on the disk, as a stalled server's partial file.
                self.file_obj.flush()

        def modify_ioloop_events(self, events, logdebug=False):
            if self._held and not self._released:
                return
            super().modify_ioloop_events(events, logdebug)

        def add_channel(self, map=None, events=None):
            if self._held and not self._released:
                return
            super().add_channel(map, events)

        def release(self):
            """The session is done with this transfer: a held one may close now."""
            self._released = True

        def close(self):
            if self._stall_armed and not self._released:
                # The transfer's own end (all data sent or received, the client
                # closing): it stays open and unanswered.
                self._hold()
                return
            if self._held:
                self._resp = ()
                self.transfer_finished = False
            if (args.keep_half_stor and self.receive and self.transfer_finished
                    and not self._halved and self.file_obj is not None
                    and not self.file_obj.closed):
                # Before the "226": the client may ask for the size at once.
                self._halved = True
                end = self.file_obj.tell()
                self.file_obj.truncate(self._kept_from + (end - self._kept_from) // 2)
            super().close()

    # A stalled transfer must stay stalled for as long as the client waits.
    if args.stall_retr_after >= 0:
        MisbehavingDTP.timeout = 0
    return MisbehavingDTP


def tls_bases():
    """pyftpdlib's TLS handlers, with its data channel made to take clients that
    start TLS on the data connection before they send the transfer command."""
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

    class EarlyTlsDTP(TLS_DTPHandler):
        def readable(self):
            # Before the transfer command pyftpdlib 1.5.7 takes a readable data
            # connection for one the client has closed, and closes it: the
            # client's TLS handshake is what arrived. It goes on instead.
            if self._ssl_accepting and not self._initialized:
                return True
            return super().readable()

    return TLS_FTPHandler, EarlyTlsDTP


def make_handler(args):
    if args.tls_certificate:
        handler_base, dtp_base = tls_bases()
    else:
        handler_base, dtp_base = FTPHandler, DTPHandler
    commands = dict(handler_base.proto_cmds)
    # FEAT offers only what proto_cmds still holds.
    if args.no_size:
        commands.pop("SIZE", None)
    if args.no_mdtm:
        commands.pop("MDTM", None)
    if args.no_mlst:
        commands.pop("MLST", None)
        commands.pop("MLSD", None)
    faults = args.fault

    class TestHandler(handler_base):
        proto_cmds = commands
        timeout = args.idle_timeout or 300
        dtp_handler = make_dtp(args, dtp_base)
        abstracted_fs = make_filesystem(args)
        banner = "ZUNO test server ready."
        # A refused login is answered after a short pause, not pyftpdlib's 3 s.
        auth_failed_timeout = 0.2
        # Set between a transfer command that a "stall" fault caught and the
        # data channel that carries it.
        _stall_pending = False
        _silenced = False
        _session_logged = False
        _argument = ""

        def __init__(self, conn, server, ioloop=None):
            super().__init__(conn, server, ioloop)
            if args.no_size_facts:
                # Also what FEAT and OPTS MLST offer.
                for facts in (self._current_facts, self._available_facts):
                    if "size" in facts:
                        facts.remove("size")
            if args.log_commands and self.connected:
                note("SESSION OPEN")
                self._session_logged = True

        def close(self):
            self._let_go_of_transfer()
            if self._session_logged:
                self._session_logged = False
                note("SESSION CLOSE")
            super().close()

        def _let_go_of_transfer(self):
            # pyftpdlib deletes the attribute when the session closes.
            transfer = getattr(self, "data_channel", None)
            if transfer is not None:
                transfer.release()

        def ftp_ABOR(self, line):
            self._let_go_of_transfer()
            super().ftp_ABOR(line)

        def flush_account(self):
            self._let_go_of_transfer()
            super().flush_account()

        def _make_eport(self, ip, port):
            self._let_go_of_transfer()
            super()._make_eport(ip, port)

        def _make_epasv(self, extmode=False):
            self._let_go_of_transfer()
            super()._make_epasv(extmode)

        def pre_process_command(self, line, cmd, arg):
            if args.log_commands:
                note("CMD PASS ***" if cmd == "PASS" else "CMD " + cmd + (" " + arg if arg else ""))
            if self._silenced:
                return
            fault = next((f for f in faults if f.catches(cmd, arg)), None)
            if fault is not None:
                fault.fire()
                note("FAULT %s %s" % (fault.kind, cmd))
                if fault.kind == "drop":
                    self.close()
                    return
                if fault.kind == "silence":
                    self._silenced = True
                    if self._idler is not None and not self._idler.cancelled:
                        self._idler.cancel()
                    return
                if fault.kind == "refuse":
                    self.respond("550 Refused by the test server.")
                    return
                self._stall_pending = True
            self._argument = arg
            super().pre_process_command(line, cmd, arg)
            if (self._stall_pending and getattr(self, "_in_dtp_queue", None) is None
                    and getattr(self, "_out_dtp_queue", None) is None):
                # The transfer started at once, or the command failed.
                self._stall_pending = False

        def respond(self, resp, logfun=logger.debug):
            if self._silenced:
                return
            super().respond(resp, logfun)

        def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
            if cmd != "RETR" or file is None:
                return super().push_dtp_data(data, isproducer, file, cmd)
            size = os.fstat(file.fileno()).st_size
            if args.short_retr:
                data = FirstPart(data, size // 2)
            if not args.size_in_150:
                return super().push_dtp_data(data, isproducer, file, cmd)
            # A 150 whether or not the data connection is open yet, as vsftpd does.
            mode = "BINARY" if self._current_type == "i" else "ASCII"
            self.respond("150 Opening %s mode data connection for %s (%d bytes)."
                         % (mode, self._argument, size))
            if self.data_channel is None:
                self._out_dtp_queue = (data, isproducer, file, cmd)
                return
            # The rest as pyftpdlib does it with an open data connection.
            self.data_channel.file_obj = file
            try:
                self.data_channel.push_with_producer(data)
                if self.data_channel is not None:
                    self.data_channel.cmd = cmd
                    self.data_channel.close_when_done()
            except Exception:
                self.data_channel.handle_error()

        def ftp_RNTO(self, path):
            if args.rnto_no_replace and self._rnfr and self.fs.lexists(path):
                self._rnfr = None
                self.respond("553 Not renamed: the new name exists.")
                return
            super().ftp_RNTO(path)

        def handle_timeout(self):
            if args.drop_silently:
                self.close()
            else:
                super().handle_timeout()

        def ftp_QUIT(self, line):
            if args.mute_quit:
                return
            super().ftp_QUIT(line)

    return TestHandler


def main():
    args = parse_args()
    # The tests kill the server; a stray SIGPIPE or SIGINT must not stop it earlier.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # Sessions, logins and failures go to standard error, which the tests keep.
    logging.basicConfig(level=logging.INFO, format="%(message)s")
    if args.silent:
        serve_silently(args)
        return
    password = ""
    if args.password_file:
        with open(args.password_file) as source:
            password = source.read()
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, password, os.path.abspath(args.root), perm=args.perm)
    wake_for_due_timers()
    handler = make_handler(args)
    if args.tls_certificate:
        handler.certfile = args.tls_certificate
        handler.tls_control_required = True
        handler.tls_data_required = True
    handler.authorizer = authorizer
    handler.passive_ports = None
    handler.permit_foreign_addresses = False
    server = FTPServer((args.bind, args.port), handler)
    server.max_cons = 64
    announce_port(args, server.socket.getsockname()[1])
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    sys.exit(main())
