#!/bin/bash
# One real drag under X: the Linux drag source (tools/drag_source) drags a
# few hundred files onto zelta-gui.exe running under wine, with the mouse
# driven by xdotool, and the drop arrives as WM_DROPFILES. Before it, the
# window is started with files, as Explorer starts it for a drop on its icon.
#
#   tests/ui_win32/real_drag_test.sh <Linux build folder> <Windows build folder>
#
# Checks that the files given at start are converted as the command line
# converts them; then that every dragged file's output appears,
# the earlier outputs among them replaced,
# that nothing else is left in the folder, that the drag source is released
# (XdndFinished) within half a second of the mouse button's release although
# the batch takes seconds, and that closing the window ends the program with
# status 0. It prints the times it measured.
#
# Needs DISPLAY, an X display of at least 800 x 600 with no other window on
# it (with_display.sh starts one), xdotool, and the wine environment of
# tools/wine/env.sh. With ZELTA_SCREENSHOT=<file.png> it also saves a
# picture of the window after the drop (needs ImageMagick's import); for it
# the test's wine prefix links Tahoma to a CJK font, so that the Japanese
# text shows.
set -euo pipefail

linux=$(cd "${1:?usage: real_drag_test.sh <Linux build> <Windows build>}" && pwd)
windows=$(cd "${2:?usage: real_drag_test.sh <Linux build> <Windows build>}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
gui=$windows/ui/win32/zelta-gui.exe
drag_source=$linux/tools/drag_source/drag_source
make_example=$linux/tests/make_example
zelta=$linux/cli/zelta
for program in "$gui" "$drag_source" "$make_example" "$zelta"; do
    [ -x "$program" ] || { echo "real_drag_test: $program is missing" >&2; exit 1; }
done
: "${DISPLAY:?real_drag_test: needs DISPLAY}"

. "$here/../../tools/wine/env.sh" "$windows"
zelta_wine_prefix

files=300          # small files, one of them with a Japanese name
big_files=6        # files of 16 MB, so that the batch takes seconds
earlier=60         # files with an earlier output to replace
title='zelta_GUI 20110114'

now() { date +%s%3N; }  # milliseconds since the epoch, as drag_source prints
work=
fail() {
    echo "real_drag_test: FAILED: $*" >&2
    for log in "$work"/*.log; do [ -s "$log" ] && { echo "== $log" >&2; cat "$log" >&2; }; done
    [ -d "${songs:-}" ] && echo "$(ls "$songs" | grep -c _new.s98) outputs in the folder" >&2
    echo "windows on the screen:" >&2
    for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do
        echo "  $(xdotool getwindowname "$w" 2>/dev/null) $(xdotool getwindowgeometry "$w" 2>/dev/null | tr '\n' ' ')" >&2
    done
    exit 1
}

begun=$(now)
work=$(mktemp -d /tmp/zelta-drag.XXXXXX)
songs=$work/songs
mkdir "$songs"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The inputs and what their outputs must hold: the Linux command line's
# conversion of the same bytes.
"$make_example" "$work/small.s98"
cp "$work/small.s98" "$work/big.s98"
head -c 16000000 /dev/zero >>"$work/big.s98"
(cd "$work" && "$zelta" small.s98 big.s98 >/dev/null)
inputs=("$songs/曲 ひとつ.s98")
cp "$work/small.s98" "${inputs[0]}"
for i in $(seq -f '%03g' 1 $((files - 1))); do
    inputs+=("$songs/song$i.s98")
    cp "$work/small.s98" "$songs/song$i.s98"
done
big_names=()
for i in $(seq 1 $big_files); do
    # Spread over the batch, never last: the last output ends the wait.
    big_names+=("song$(printf %03d $((i * 40))).s98")
    cp "$work/big.s98" "$songs/${big_names[-1]}"
done
for i in $(seq -f '%03g' 1 $earlier); do
    echo "an earlier output" >"$songs/song${i}_new.s98"
done
echo "an earlier output" >"$songs/曲 ひとつ_new.s98"
output_of() { printf '%s_new.s98' "${1%.s98}"; }
last_output=$(output_of "${inputs[-1]}")

if [ -n "${ZELTA_SCREENSHOT:-}" ]; then
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
        /v Tahoma /t REG_MULTI_SZ /d 'NotoSansCJK-Regular.ttc,Noto Sans CJK JP' /f >/dev/null 2>&1
fi

read -r width height < <(xdotool getdisplaygeometry)
[ "$width" -ge 800 ] && [ "$height" -ge 600 ] || fail "the display is ${width}x${height}, smaller than 800x600"

# Files given at start, relative to the folder the window starts in: a
# Japanese name, a folder, a name that looks like an option.
given=$work/given
mkdir -p "$given/songs"
given_names=("曲 ふたつ.s98" songs -x.s98 b.s98)
for name in "${given_names[@]}"; do
    [ -d "$given/$name" ] || cp "$work/small.s98" "$given/$name"
done

# The window, centred on the screen; the drag source at the top left.
started=$(now)
(cd "$given" && exec wine "$gui" "${given_names[@]}") >"$work/gui.log" 2>&1 &
gui_pid=$!
pids+=("$gui_pid")
window=$(timeout 60 xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1) \
    || fail "the window did not appear"
shown=$(now)
for _ in $(seq 300); do  # the last one's output ends the wait
    [ -e "$given/$(output_of "${given_names[-1]}")" ] && break
    sleep 0.1
done
for name in "${given_names[@]}"; do
    [ -d "$given/$name" ] || cmp -s "$given/$(output_of "$name")" "$work/small_new.s98" ||
        fail "the output of $name is not the command line's"
done
[ ! -e "$given/$(output_of songs)" ] || fail "the folder given at start made an output"
eval "$(xdotool getwindowgeometry --shell "$window")"
target_x=$((X + WIDTH / 2))
target_y=$((Y + HEIGHT * 2 / 3))  # on the list

"$drag_source" "${inputs[@]}" >"$work/drag.log" 2>&1 &
drag_pid=$!
pids+=("$drag_pid")
timeout 30 xdotool search --sync --onlyvisible --name '^drag source$' >/dev/null \
    || fail "the drag source did not appear"
sleep 0.3

xdotool mousemove --sync 110 60 mousedown 1
sleep 0.2
for step in 1 2 3 4; do
    xdotool mousemove --sync $((110 + (target_x - 110) * step / 4)) $((60 + (target_y - 60) * step / 4))
    sleep 0.1
done
xdotool mousemove --sync $((target_x + 2)) "$target_y"
sleep 0.3
released=$(now)
xdotool mouseup 1

timeout 30 tail --pid="$drag_pid" -f /dev/null || fail "the drag source did not end"
finished=$(awk '/XdndFinished received/ { sub(/\./, "", $1); print $1 }' "$work/drag.log")
[ -n "$finished" ] || { cat "$work/drag.log" >&2; fail "the drag source got no XdndFinished"; }

# The batch runs on; the last file's output ends it.
for _ in $(seq 1200); do
    [ -e "$last_output" ] && break
    sleep 0.1
done
[ -e "$last_output" ] || fail "no output for the last file after 120 s"
done_at=$(now)

if [ -n "${ZELTA_SCREENSHOT:-}" ]; then
    sleep 0.5
    # The window's own X window shows black: the picture is cut from the screen.
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$ZELTA_SCREENSHOT"
fi

checked=$(now)
# Every output is the Linux conversion of its input; nothing else is there.
small_sum=$(md5sum <"$work/small_new.s98")
big_sum=$(md5sum <"$work/big_new.s98")
for input in "${inputs[@]}"; do
    name=${input##*/}
    sum=$small_sum
    case " ${big_names[*]} " in *" $name "*) sum=$big_sum ;; esac
    printf '%s  %s\n' "${sum%% *}" "${name%.s98}_new.s98" >>"$work/expected-outputs.txt"
    printf '%s\n%s\n' "$name" "${name%.s98}_new.s98" >>"$work/expected-files.txt"
done
diff <(LC_ALL=C sort "$work/expected-outputs.txt") <(cd "$songs" && md5sum -- *_new.s98 | LC_ALL=C sort) >&2 \
    || fail "an output is missing or is not the conversion of its input"
diff <(LC_ALL=C sort "$work/expected-files.txt") <(cd "$songs" && ls -A | LC_ALL=C sort) >&2 \
    || fail "the folder holds other files than the inputs and their outputs"
compared=$(now)
# Closed the way the system closes it (WM_CLOSE), the program ends with 0.
# taskkill closes every zelta-gui.exe of the wine prefix: the test's own
# prefix runs no other.
wine taskkill /im zelta-gui.exe >/dev/null 2>&1 || true
status=0
timeout 30 tail --pid="$gui_pid" -f /dev/null || fail "the window did not close"
wait "$gui_pid" || status=$?
[ "$status" -eq 0 ] || fail "zelta-gui.exe ended with status $status"

closed=$(now)
release=$((finished - released))
echo "real drag: ${#inputs[@]} files ($big_files of 16 MB, $((earlier + 1)) over earlier outputs)"
printf '  files made in %d ms, window shown %d ms after wine started it\n' \
    $((started - begun)) $((shown - started))
printf '  drag source released (XdndFinished) %d ms after the mouse button\n' "$release"
printf '  last output written %d ms after the mouse button\n' $((done_at - released))
printf '  outputs compared in %d ms, window closed in %d ms\n' $((compared - checked)) $((closed - compared))
[ "$release" -le 500 ] || fail "the drag source was held $release ms (more than 500)"
echo "real drag: passed"
