"""Compares bookmarks as a user sees them, across the browsers' files and live trees.

Run with /usr/bin/python3 (standard library only). Each source is read into one list of
entries, in the order the browser shows them, grouped by root folder:

    ROOT/Folder/... | bookmark | title | url | tags | keyword
    ROOT/Folder/... | folder   | title
    ROOT/Folder/... | separator

Dates, ids and icons are left out: they are not what a user relies on, and browsers
rewrite them. The sources, by KIND:

  firefox-html     a Netscape bookmark file (bookmarks.html), as Firefox imports it
  firefox-tree     the JSON of PlacesUtils.promiseBookmarksTree (marionette_client.py)
  chromium-json    Chromium's Bookmarks file
  chromium-tree    the JSON of chrome.bookmarks.getTree (chromium_devtools.py)

Commands:

  show KIND FILE
      prints the entries
  same KIND FILE KIND FILE [--added ROOT TITLE URL]...
      succeeds when the second source holds exactly the first's entries, in order, plus
      each added bookmark at the end of its root folder; otherwise prints both and fails
  checksum FILE
      prints "matches", "differs" or "missing": Chromium's checksum of a Bookmarks file
      against the one that the file states
"""

import hashlib
import html.parser
import json
import sys

ROOT_ORDER = ["menu", "toolbar", "unfiled", "bar", "other", "mobile"]


def bookmark(path, title, url, tags="", keyword=""):
    tags = ",".join(sorted(t for t in tags.split(",") if t)) if tags else ""
    return " | ".join([path, "bookmark", title, url, tags, keyword or ""])


def folder(path, title):
    return " | ".join([path, "folder", title])


def separator(path):
    return " | ".join([path, "separator"])


def in_root_order(entries):
    """Stable by root, so that a source that lists the roots in another order compares."""
    def root(entry):
        name = entry.split(" | ", 1)[0].split("/", 1)[0]
        return ROOT_ORDER.index(name) if name in ROOT_ORDER else len(ROOT_ORDER)
    return sorted(entries, key=root)


class NetscapeParser(html.parser.HTMLParser):
    """Firefox's reading of the format: <DL> lists, <H3> folders, <A> bookmarks, <HR>."""

    def __init__(self):
        super().__init__()
        self.entries = []
        self.paths = []          # the open lists
        self.pending = None      # the path of the folder whose <DL> comes next
        self.text = None         # the text of the <A> or <H3> being read
        self.current = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "dl":
            if self.pending is not None:
                self.paths.append(self.pending)
            elif not self.paths:
                self.paths.append("menu")
            else:
                self.paths.append(self.paths[-1])
            self.pending = None
        elif tag == "h3":
            self.current = ("h3", attrs)
            self.text = ""
        elif tag == "a":
            self.current = ("a", attrs)
            self.text = ""
        elif tag == "hr" and self.paths:
            self.entries.append(separator(self.paths[-1]))

    def handle_endtag(self, tag):
        if tag == "dl" and self.paths:
            self.paths.pop()
        elif tag in ("h3", "a") and self.current and self.current[0] == tag:
            kind, attrs = self.current
            title = self.text.strip()
            parent = self.paths[-1] if self.paths else "menu"
            if kind == "h3":
                if "personal_toolbar_folder" in attrs:
                    self.pending = "toolbar"
                elif "unfiled_bookmarks_folder" in attrs:
                    self.pending = "unfiled"
                else:
                    self.entries.append(folder(parent, title))
                    self.pending = parent + "/" + title
            else:
                self.entries.append(bookmark(parent, title, attrs.get("href", ""),
                                             attrs.get("tags", ""),
                                             attrs.get("shortcuturl", "")))
            self.current = None
            self.text = None

    def handle_data(self, data):
        if self.text is not None:
            self.text += data


def firefox_html(path):
    parser = NetscapeParser()
    with open(path, encoding="utf-8") as source:
        parser.feed(source.read())
    parser.close()
    return parser.entries


FIREFOX_ROOTS = {"bookmarksMenuFolder": "menu", "toolbarFolder": "toolbar",
                 "unfiledBookmarksFolder": "unfiled", "mobileFolder": "mobile"}


def firefox_tree(path):
    with open(path, encoding="utf-8") as source:
        root = json.load(source)
    entries = []

    def walk(node, at):
        for child in node.get("children", []):
            kind = child.get("typeCode")
            if kind == 1:
                entries.append(bookmark(at, child.get("title", ""), child.get("uri", ""),
                                        child.get("tags", ""), child.get("keyword", "")))
            elif kind == 3:
                entries.append(separator(at))
            elif kind == 2:
                entries.append(folder(at, child.get("title", "")))
                walk(child, at + "/" + child.get("title", ""))

    for top in root.get("children", []):
        if top.get("root") in FIREFOX_ROOTS:
            walk(top, FIREFOX_ROOTS[top["root"]])
    return entries


def chromium_nodes(node, at, entries, children="children", title="name"):
    for child in node.get(children, []):
        if child.get("url") is not None:
            entries.append(bookmark(at, child.get(title, ""), child["url"]))
        else:
            entries.append(folder(at, child.get(title, "")))
            chromium_nodes(child, at + "/" + child.get(title, ""), entries, children, title)


CHROMIUM_FILE_ROOTS = {"bookmark_bar": "bar", "other": "other", "synced": "mobile"}


def chromium_json(path):
    with open(path, encoding="utf-8") as source:
        document = json.load(source)
    entries = []
    for key, name in CHROMIUM_FILE_ROOTS.items():
        chromium_nodes(document["roots"].get(key, {}), name, entries)
    return entries


CHROMIUM_TREE_ROOTS = {"bookmarks-bar": "bar", "other": "other", "mobile": "mobile"}


def chromium_tree(path):
    with open(path, encoding="utf-8") as source:
        (root,) = json.load(source)
    entries = []
    for top in root.get("children", []):
        name = CHROMIUM_TREE_ROOTS.get(top.get("folderType"))
        if name:
            chromium_nodes(top, name, entries, title="title")
    return entries


READERS = {"firefox-html": firefox_html, "firefox-tree": firefox_tree,
           "chromium-json": chromium_json, "chromium-tree": chromium_tree}


def read(kind, path):
    if kind not in READERS:
        raise SystemExit("unknown kind %r; one of %s" % (kind, ", ".join(READERS)))
    return in_root_order(READERS[kind](path))


def chromium_checksum(path):
    """Chromium's MD5 over every node's id, title (UTF-16LE) and type or address."""
    with open(path, encoding="utf-8") as source:
        document = json.load(source)
    digest = hashlib.md5()

    def node(item):
        digest.update(item["id"].encode("utf-8"))
        digest.update(item["name"].encode("utf-16-le"))
        if item["type"] == "url":
            digest.update(b"url")
            digest.update(item["url"].encode("utf-8"))
        else:
            digest.update(b"folder")
            for child in item.get("children", []):
                node(child)

    for key in CHROMIUM_FILE_ROOTS:
        node(document["roots"][key])
    stated = document.get("checksum")
    if stated is None:
        return "missing"
    return "matches" if stated == digest.hexdigest() else "differs"


def same(args):
    first, second = read(args[0], args[1]), read(args[2], args[3])
    expected = list(first)
    rest = args[4:]
    while rest:
        if rest[0] != "--added" or len(rest) < 4:
            raise SystemExit("usage: same KIND FILE KIND FILE [--added ROOT TITLE URL]...")
        root, title, url = rest[1:4]
        rest = rest[4:]
        # Last in the list, so last of its root folder once put in root order.
        expected = in_root_order(expected + [bookmark(root, title, url)])
    if second == expected:
        return 0
    print("expected (from %s%s):" % (args[1], ", plus the added" if args[4:] else ""))
    print("".join("    %s\n" % e for e in expected), end="")
    print("found (in %s):" % args[3])
    print("".join("    %s\n" % e for e in second), end="")
    return 1


def main(argv):
    if len(argv) == 3 and argv[0] == "show":
        for entry in read(argv[1], argv[2]):
            print(entry)
        return 0
    if len(argv) >= 5 and argv[0] == "same":
        return same(argv[1:])
    if len(argv) == 2 and argv[0] == "checksum":
        print(chromium_checksum(argv[1]))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
