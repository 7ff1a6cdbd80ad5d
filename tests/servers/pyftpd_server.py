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
"""

import argparse
import logging
import os
import signal
import socket
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.ioloop import IOLoop
from pyftpdlib.servers import FTPServer

LOOPBACK = ("127.0.0.1", "::1")


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
    args = parser.parse_args()
    if args.bind not in LOOPBACK:
        parser.error("only loopback addresses are served")
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


def make_filesystem(login):
    class LoginDirFS(AbstractedFS):
        """The account sees the whole root, and starts in its login directory."""

        def __init__(self, root, cmd_channel):
            super().__init__(root, cmd_channel)
            self.cwd = login

    return LoginDirFS


def make_dtp(args, base):
    class MisbehavingDTP(base):
        _dropping = False

        def _limit(self):
            return args.stall_retr_after if args.stall_retr_after >= 0 else args.drop_retr_after

        def use_sendfile(self):
            # Plain send() so that every byte passes through send() below.
            if self._limit() >= 0:
                return False
            return super().use_sendfile()

        def send(self, data):
            limit = self._limit()
            if limit < 0 or self.receive:
                return super().send(data)
            room = limit - self.tot_bytes_sent
            sent = super().send(data[:room]) if room > 0 else 0
            if self.tot_bytes_sent >= limit:
                # Stop asking to write: a stall stays a stall, without spinning.
                self.modify_ioloop_events(self.ioloop.READ)
                if args.drop_retr_after >= 0:
                    self.cmd_channel.ioloop.call_later(0.05, self.cmd_channel.close)
            return sent

        def recv(self, buffer_size):
            # Every byte of an upload comes through here, with TLS or without.
            data = super().recv(buffer_size)
            if (args.drop_stor_after >= 0 and self.receive and not self._dropping
                    and self.tot_bytes_received + len(data) >= args.drop_stor_after):
                # Once this piece is written, before anything else is read.
                self._dropping = True
                self.ioloop.call_later(0, self.cmd_channel.close)
            return data

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
    if args.no_size:
        commands.pop("SIZE", None)
    if args.no_mlst:
        commands.pop("MLST", None)
        commands.pop("MLSD", None)

    class TestHandler(handler_base):
        proto_cmds = commands
        timeout = args.idle_timeout or 300
        dtp_handler = make_dtp(args, dtp_base)
        abstracted_fs = make_filesystem(args.login)
        banner = "ZUNO test server ready."
        # A refused login is answered after a short pause, not pyftpdlib's 3 s.
        auth_failed_timeout = 0.2

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
