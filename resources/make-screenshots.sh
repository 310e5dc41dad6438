#!/usr/bin/env bash
# Takes the README's screenshots from the real program under Xvfb, driven by
# xdotool: the window after start-up, and with a folder of pictures added.
# Usage: resources/make-screenshots.sh path/to/velunor   (run it inside
# xvfb-run -s "-screen 0 1024x768x24"). Then a job in progress: the joiner
# is a stand-in that joins the first pages and then waits, so the picture
# shows the bar, the caption and the entry being joined.
set -euo pipefail
exe=$(readlink -f "$1")
out=$(cd "$(dirname "$0")/.." && pwd)/docs
mkdir -p "$out"
demo=$(mktemp -d)
# A home that reads well in the pictures; made here and removed afterwards.
home=$demo/ann
if [ ! -e /home/ann ] && mkdir /home/ann 2>/dev/null; then home=/home/ann; fi
pid=
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$demo"; [ "$home" = /home/ann ] && rm -rf /home/ann' EXIT
export HOME=$home XDG_CONFIG_HOME=$demo/config XDG_CACHE_HOME=$demo/cache
unset APPDATA
pics="$HOME/Pictures/Trip to the coast"
mkdir -p "$pics/day 2"
i=0
for name in harbour lighthouse dunes "old town" "day 2/boats" "day 2/market" "day 2/sunset"; do
  i=$((i + 1))
  convert -size 400x300 "plasma:#6fa8dc-#f6b26b" -seed $i -blur 0x1 "$pics/$name.jpg"
done
mkdir -p "$XDG_CONFIG_HOME/velunor"
printf '"Trip to the coast"\r\n"Ann"\r\n"Holiday 2026"\r\n"sea, boats"\r\n"60"\r\n"%s"\r\n' \
  "$HOME/output" > "$XDG_CONFIG_HOME/velunor/setting.dll"

# The program runs from a copy beside its own helpers, but for a stand-in
# joiner (the helpers are found beside the program): the real velunor-join
# for two joins, then it waits until the job is stopped (Escape ends it).
real=$(dirname "$exe")/../libexec/velunor
mkdir -p "$demo/prog/bin" "$demo/prog/libexec/velunor"
cp "$exe" "$demo/prog/bin/velunor"
for helper in "$real"/*; do ln -s "$(readlink -f "$helper")" "$demo/prog/libexec/velunor/"; done
rm "$demo/prog/libexec/velunor/velunor-join"
cat > "$demo/prog/libexec/velunor/velunor-join" <<EOS
#!/bin/sh
n=\$(cat "$demo/joins" 2>/dev/null || echo 0)
echo \$((n + 1)) > "$demo/joins"
[ "\$n" -lt 2 ] && exec "$(readlink -f "$real/velunor-join")" "\$@"
: > "$demo/held"
sleep 600 & wait
EOS
chmod +x "$demo/prog/libexec/velunor/velunor-join"
ASAN_OPTIONS=detect_leaks=0 "$demo/prog/bin/velunor" &
pid=$!
wid=$(xdotool search --sync --onlyvisible --name '^Velunor$' | head -1)
sleep 1 # let the first paint finish
import -window "$wid" "$out/screenshot-startup.png"

# Add Folder (toolbar index 1): the toolbar sits right under the menu bar.
eval "$(xdotool getwindowgeometry --shell "$wid")"
menubar=$((HEIGHT - 504))
xdotool mousemove --window "$wid" 141 $((menubar + 33)) click 1
# The dialog may show more than once while it settles: focus the one that stays.
for try in $(seq 20); do
  sleep 0.5
  dlg=$(xdotool search --onlyvisible --name 'Please select a folder:' 2>/dev/null | tail -1) || continue
  [ -n "$dlg" ] && xdotool windowfocus --sync "$dlg" 2>/dev/null && break
done
xdotool key ctrl+a
xdotool type --delay 5 "$pics"
xdotool key Return
xdotool search --sync --onlyvisible --name '^Velunor$' >/dev/null
sleep 1
# Select the third entry, so the page number shows.
xdotool mousemove --window "$wid" 100 $((menubar + 94 + 42)) click 1
sleep 0.5
import -window "$wid" "$out/screenshot-filled.png"

# Convert To PDF Now, then the picture once the third join is held.
xdotool mousemove --window "$wid" 629 $((menubar + 445)) click 1
for try in $(seq 120); do
  [ -e "$demo/held" ] && break
  sleep 0.5
done
[ -e "$demo/held" ] || { echo "make-screenshots: the job never reached the held join" >&2; exit 1; }
sleep 1
import -window "$wid" "$out/screenshot-converting.png"
xdotool key Escape
sleep 1
