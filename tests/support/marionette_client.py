"""Runs a real Firefox and drives its bookmarks through Marionette, as a user would.

Run with /usr/bin/python3 (standard library only):

  marionette_client.py --profile DIR [--tree-out FILE] [--add TITLE URL] -- FIREFOX...

FIREFOX... is the whole Firefox command line; it must start Marionette
(`--marionette -remote-allow-system-access`) on the profile DIR, whose prefs set
`marionette.port` to 0: Firefox then listens on a free loopback port and writes it to
DIR/MarionetteActivePort. The client starts that command, connects, and then:

  --tree-out FILE   writes the bookmark tree that Firefox holds (after its start-up
                    import), as JSON
  --add TITLE URL   adds a bookmark at the end of the bookmarks menu

and quits Firefox the way its menu does, so that Firefox's quit-time work (the
bookmarks export among it) runs. It ends when Firefox has ended. Any failure (no port,
a refused command, a Firefox that does not end) ends Firefox and the client, with a
message and status 1, so that a half-done run is never taken for a good one.

  --timeout S       the longest wait for the port, for each answer, and for the end (60)
"""

import argparse
import json
import os
import socket
import subprocess
import sys
import time

LOOPBACK = "127.0.0.1"

# The bookmark tree as plain data: titles, addresses, tags, keywords and children.
TREE_SCRIPT = """
const { PlacesUtils } = ChromeUtils.importESModule(
  "resource://gre/modules/PlacesUtils.sys.mjs");
return PlacesUtils.promiseBookmarksTree(PlacesUtils.bookmarks.rootGuid).then(
  tree => JSON.stringify(tree));
"""

ADD_SCRIPT = """
const { PlacesUtils } = ChromeUtils.importESModule(
  "resource://gre/modules/PlacesUtils.sys.mjs");
const [title, url] = arguments;
return PlacesUtils.bookmarks.insert({
  parentGuid: PlacesUtils.bookmarks.menuGuid, title, url,
}).then(item => item.guid);
"""


class Failure(Exception):
    pass


class Marionette:
    """One connection; every packet is "LENGTH:JSON"."""

    def __init__(self, port, timeout):
        self.sock = socket.create_connection((LOOPBACK, port), timeout=timeout)
        self.buffer = b""
        self.next_id = 1
        hello = self._read_packet()
        if not isinstance(hello, dict) or hello.get("marionetteProtocol") != 3:
            raise Failure("unexpected Marionette greeting: %r" % (hello,))

    def _receive(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise Failure("Firefox closed the Marionette connection")
        self.buffer += chunk

    def _read_packet(self):
        while b":" not in self.buffer:
            self._receive()
        length, _, rest = self.buffer.partition(b":")
        length = int(length)
        self.buffer = rest
        while len(self.buffer) < length:
            self._receive()
        packet, self.buffer = self.buffer[:length], self.buffer[length:]
        return json.loads(packet.decode("utf-8"))

    def command(self, name, params=None):
        """Sends a command and returns its result; a reported error is a Failure."""
        message_id = self.next_id
        self.next_id += 1
        body = json.dumps([0, message_id, name, params or {}]).encode("utf-8")
        self.sock.sendall(b"%d:%s" % (len(body), body))
        while True:
            reply = self._read_packet()
            if isinstance(reply, list) and len(reply) == 4 and reply[0] == 1 \
                    and reply[1] == message_id:
                break
        _, _, error, result = reply
        if error:
            raise Failure("%s: %s: %s" % (name, error.get("error"), error.get("message")))
        return result

    def script(self, source, args=()):
        """Runs script in the current context; a returned promise is waited for."""
        result = self.command("WebDriver:ExecuteScript",
                              {"script": source, "args": list(args)})
        return result.get("value")

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def wait_for_port(port_file, firefox, timeout):
    """The port that Firefox writes once Marionette listens."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if firefox.poll() is not None:
            raise Failure("Firefox ended (status %d) before Marionette listened"
                          % firefox.returncode)
        try:
            with open(port_file) as source:
                text = source.read().strip()
            if text:
                return int(text)
        except (OSError, ValueError):
            pass
        time.sleep(0.1)
    raise Failure("no Marionette port in %s after %g s" % (port_file, timeout))


def drive(args, firefox):
    port = wait_for_port(os.path.join(args.profile, "MarionetteActivePort"), firefox,
                         args.timeout)
    client = Marionette(port, args.timeout)
    try:
        client.command("WebDriver:NewSession", {"capabilities": {}})
        # Bookmarks belong to the browser's own ("chrome") code, not to a web page.
        client.command("Marionette:SetContext", {"value": "chrome"})
        if args.tree_out:
            tree = client.script(TREE_SCRIPT)
            with open(args.tree_out, "w") as out:
                out.write(tree)
        if args.add:
            if not client.script(ADD_SCRIPT, args.add):
                raise Failure("Firefox did not add the bookmark")
            print("marionette: added the bookmark %r" % args.add[0])
        # Answered once Firefox has begun to shut down; its quit-time work follows.
        client.command("Marionette:Quit", {"flags": ["eAttemptQuit"]})
    finally:
        client.close()
    try:
        status = firefox.wait(timeout=args.timeout)
    except subprocess.TimeoutExpired:
        raise Failure("Firefox did not end within %g s of quitting" % args.timeout)
    if status != 0:
        raise Failure("Firefox ended with status %d" % status)


def stop(firefox):
    if firefox.poll() is not None:
        return
    firefox.terminate()
    try:
        firefox.wait(timeout=10)
    except subprocess.TimeoutExpired:
        firefox.kill()
        firefox.wait()


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--profile", required=True)
    parser.add_argument("--timeout", type=float, default=60)
    parser.add_argument("--tree-out", default="")
    parser.add_argument("--add", nargs=2, metavar=("TITLE", "URL"))
    parser.add_argument("firefox", nargs="+")
    return parser.parse_args()


def main():
    args = parse_args()
    try:
        # A port file left from an earlier run would name a port nobody listens on.
        os.remove(os.path.join(args.profile, "MarionetteActivePort"))
    except FileNotFoundError:
        pass
    try:
        firefox = subprocess.Popen(args.firefox)
    except OSError as error:
        print("marionette: FAILED: cannot start %s: %s" % (args.firefox[0], error),
              file=sys.stderr)
        return 1
    try:
        drive(args, firefox)
    except (OSError, Failure, ValueError) as error:
        print("marionette: FAILED: %s" % error, file=sys.stderr)
        stop(firefox)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
