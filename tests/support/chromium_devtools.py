"""Runs a real Chromium and reads (and changes) its bookmarks through the DevTools protocol.

Run with /usr/bin/python3 (standard library only):

  chromium_devtools.py [--tree-out FILE] [--add TITLE URL] -- CHROMIUM...

CHROMIUM... is the whole Chromium command line and must hold --remote-debugging-pipe:
Chromium then reads the protocol's messages on file descriptor 3 and writes its answers
on 4, each message JSON ended by a NUL byte, and nothing listens on the network. The
client starts that command, opens chrome://bookmarks/ (the bookmark manager, whose page
has the chrome.bookmarks API) in the first tab, and then:

  --tree-out FILE   writes the bookmark tree that Chromium loaded, as JSON
  --add TITLE URL   adds a bookmark at the end of the bookmarks bar

and closes the browser as its menu does, so that Chromium writes what it holds. It
ends when Chromium has ended. Any failure ends Chromium and the client, with a message
and status 1, so that a half-done run is never taken for a good one.

  --timeout S       the longest wait for each answer and for the end (60)
"""

import argparse
import json
import os
import select
import subprocess
import sys
import time


class Failure(Exception):
    pass


class DevTools:
    def __init__(self, command_pipe, answer_pipe, chromium, timeout):
        self.out = command_pipe
        self.inp = answer_pipe
        self.chromium = chromium
        self.timeout = timeout
        self.buffer = b""
        self.next_id = 1

    def _message(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("no answer from Chromium within %g s" % self.timeout)
            readable, _, _ = select.select([self.inp], [], [], left)
            if readable:
                chunk = os.read(self.inp, 65536)
                if not chunk:
                    raise Failure("Chromium closed its DevTools pipe (status %s)"
                                  % self.chromium.poll())
                self.buffer += chunk
        message, _, self.buffer = self.buffer.partition(b"\0")
        return json.loads(message.decode("utf-8"))

    def call(self, method, params=None, session=None):
        """Sends a command and returns its result; a reported error is a Failure."""
        message_id = self.next_id
        self.next_id += 1
        message = {"id": message_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.out, json.dumps(message).encode("utf-8") + b"\0")
        deadline = time.monotonic() + self.timeout
        while True:
            answer = self._message(deadline)
            if answer.get("id") == message_id:
                break
        if "error" in answer:
            raise Failure("%s: %s" % (method, answer["error"].get("message")))
        return answer.get("result", {})

    def evaluate(self, session, expression):
        """The value of a page expression; a promise is waited for."""
        result = self.call("Runtime.evaluate", {
            "expression": expression, "awaitPromise": True, "returnByValue": True,
        }, session)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise Failure("the page's script failed: %s" % details.get(
                "exception", {}).get("description", details.get("text")))
        return result.get("result", {}).get("value")


def open_bookmark_manager(devtools):
    """A session on the first tab, showing chrome://bookmarks/ with its API ready."""
    pages = [target for target in devtools.call("Target.getTargets")["targetInfos"]
             if target["type"] == "page"]
    if not pages:
        raise Failure("Chromium has no tab")
    session = devtools.call("Target.attachToTarget", {
        "targetId": pages[0]["targetId"], "flatten": True})["sessionId"]
    devtools.call("Page.navigate", {"url": "chrome://bookmarks/"}, session)
    deadline = time.monotonic() + devtools.timeout
    ready = ("location.href === 'chrome://bookmarks/' && "
             "typeof chrome === 'object' && !!chrome.bookmarks")
    while not devtools.evaluate(session, ready):
        if time.monotonic() > deadline:
            raise Failure("the bookmark manager did not open within %g s"
                          % devtools.timeout)
        time.sleep(0.2)
    return session


def drive(args, devtools, chromium):
    session = open_bookmark_manager(devtools)
    if args.tree_out:
        tree = devtools.evaluate(
            session, "chrome.bookmarks.getTree().then(tree => JSON.stringify(tree))")
        with open(args.tree_out, "w") as out:
            out.write(tree)
    if args.add:
        title, url = args.add
        added = devtools.evaluate(session, """
            chrome.bookmarks.getTree().then(([root]) => chrome.bookmarks.create({
              parentId: root.children.find(f => f.folderType === 'bookmarks-bar').id,
              title: %s, url: %s,
            })).then(node => node.id)""" % (json.dumps(title), json.dumps(url)))
        if not added:
            raise Failure("Chromium did not add the bookmark")
        print("devtools: added the bookmark %r" % title)
    devtools.call("Browser.close")
    try:
        status = chromium.wait(timeout=args.timeout)
    except subprocess.TimeoutExpired:
        raise Failure("Chromium did not end within %g s of closing" % args.timeout)
    if status != 0:
        raise Failure("Chromium ended with status %d" % status)


def stop(chromium):
    if chromium.poll() is not None:
        return
    chromium.terminate()
    try:
        chromium.wait(timeout=10)
    except subprocess.TimeoutExpired:
        chromium.kill()
        chromium.wait()


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--timeout", type=float, default=60)
    parser.add_argument("--tree-out", default="")
    parser.add_argument("--add", nargs=2, metavar=("TITLE", "URL"))
    parser.add_argument("chromium", nargs="+")
    args = parser.parse_args()
    if "--remote-debugging-pipe" not in args.chromium:
        parser.error("the Chromium command needs --remote-debugging-pipe")
    return args


def main():
    args = parse_args()
    # Chromium's ends of the two pipes become its descriptors 3 (commands) and 4.
    command_read, command_write = os.pipe()
    answer_read, answer_write = os.pipe()

    def give_pipes():
        # Duplicated first: dup2 onto a descriptor that is already the source would
        # keep its close-on-exec flag.
        commands, answers = os.dup(command_read), os.dup(answer_write)
        os.dup2(commands, 3)
        os.dup2(answers, 4)

    try:
        chromium = subprocess.Popen(args.chromium, preexec_fn=give_pipes, close_fds=False)
    except OSError as error:
        print("devtools: FAILED: cannot start %s: %s" % (args.chromium[0], error),
              file=sys.stderr)
        return 1
    os.close(command_read)
    os.close(answer_write)
    devtools = DevTools(command_write, answer_read, chromium, args.timeout)
    try:
        drive(args, devtools, chromium)
    except (OSError, Failure, ValueError) as error:
        print("devtools: FAILED: %s" % error, file=sys.stderr)
        stop(chromium)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
