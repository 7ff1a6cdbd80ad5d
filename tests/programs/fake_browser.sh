#!/bin/sh
# A stand-in for the browser in the program tests: it records the bookmark file it
# found when it started, then adds one bookmark to it, as a user would, and ends.
#   fake_browser.sh BOOKMARK-FILE RECORD-FILE
bookmarks=$1
record=$2
if [ -f "$bookmarks" ]; then cat "$bookmarks" > "$record"; else : > "$record"; fi
printf '<DT><A HREF="https://example.org/added">Added by the browser</A>\r\n' >> "$bookmarks"
