#!/usr/bin/env bash
# Drives kelvane.exe under Wine as a user would, and checks what it leaves behind:
#   dialog_test.sh KELVANE_EXE KELVANE_CLI WORK_DIR
# KELVANE_CLI is the Linux command-line tool, whose output for the same list is the expected one.
# The Wine prefix is kept in WORK_DIR for the next run; the screenshots are WORK_DIR/dialog.png
# (the screen) and WORK_DIR/dialog-window.png (the dialog alone).
# Every wait is bounded; on failure the reason and Wine's log are printed.
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: $0 KELVANE_EXE KELVANE_CLI WORK_DIR" >&2; exit 2; }
exe=$(realpath "$1")
cli=$(realpath "$2")
mkdir -p "$3"
work=$(realpath "$3")
# A folder with a Chinese name: paths go through the system's wide calls.
app=$work/程序
log=$work/wine.log

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=$(dirname "$wine")/wineserver
for tool in "$wine" "$wineserver" "$(command -v Xvfb)" "$(command -v xdotool)" "$(command -v import)"; do
    [ -x "$tool" ] || { echo "dialog_test: missing tool (wine64, Xvfb, xdotool, imagemagick)" >&2; exit 2; }
done
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

xvfb_pid=
cleanup() {
    timeout 20 "$wineserver" -k >/dev/null 2>&1 || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

fail() {
    echo "dialog_test: FAIL: $*" >&2
    [ -z "${DISPLAY:-}" ] || import -window root "$work/failure.png" 2>/dev/null || true
    [ ! -s "$log" ] || tail -n 20 "$log" >&2
    exit 1
}

# wait_until SECONDS WHAT COMMAND...: polls COMMAND until it succeeds.
wait_until() {
    local nLimit=$1 strWhat=$2
    shift 2
    local nEnd=$((SECONDS + nLimit))
    until "$@"; do
        [ "$SECONDS" -lt "$nEnd" ] || fail "no $strWhat after ${nLimit}s"
        sleep 0.2
    done
}

# The top-level windows captioned "Kelvane": the dialog, and its message box while one is open.
kelvane_windows() { xdotool search --name '^Kelvane$' 2>/dev/null || true; }
window_count_is() { [ "$(kelvane_windows | wc -l)" -eq "$1" ]; }
file_size_is() { [ -f "$1" ] && [ "$(stat -c %s "$1")" -eq "$2" ]; }

# The message box over the dialog, answered with Enter on its one button.
answer_box() {
    wait_until 20 "$1" window_count_is 2
    local box
    box=$(kelvane_windows | grep -vx "$dialog" | head -n 1)
    xdotool windowfocus --sync "$box" key Return
    wait_until 20 "end of $1" window_count_is 1
    # The keys that follow go to the dialog, not to where the box was.
    xdotool windowfocus --sync "$dialog"
}

# A prefix of its own, made once, in which the dialog's font is a Chinese font that is installed.
if [ ! -f "$WINEPREFIX/.kelvane-ready" ]; then
    mkdir -p "$WINEPREFIX"
    timeout 300 "$wine" wineboot -i >>"$log" 2>&1 || fail "wineboot"
    for font in 宋体 SimSun; do
        timeout 60 "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /t REG_SZ \
            /d 'Noto Sans CJK SC' /f >>"$log" 2>&1 || fail "font mapping"
    done
    timeout 120 "$wineserver" -w || true
    touch "$WINEPREFIX/.kelvane-ready"
fi

# The program alone in a folder, as from its zip: its three files go beside it.
rm -rf "$app"
mkdir -p "$app"
cp "$exe" "$app/kelvane.exe"
rm -f "$work"/*.png

# The expected output: the Linux tool's, for the same list and fields.
list=$'example.com\nshop.example.org\nlocalhost\n blog.example.cn\nexample.com'
# The template beside the program has a Chinese name and Chinese text.
printf '# 站点：{siteDomain}\r\n<VirtualHost *:80>\r\n    DocumentRoot "{sitePath}"\r\n    ServerAlias {siteDomain}\r\n</VirtualHost>\r\n' \
    >"$app/节点模版.txt"
printf '%s\n' "$list" >"$work/list.txt"
"$cli" -q -w -p m -s /var/www/sites -t "$app/节点模版.txt" -o "$work/expected.txt" "$work/list.txt" ||
    fail "kelvane-cli"

rm -f "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >>"$log" 2>&1 &
xvfb_pid=$!
wait_until 20 "Xvfb display" test -s "$work/display"
DISPLAY=:$(head -n 1 "$work/display")
export DISPLAY

"$wine" explorer /desktop=kelvane,1024x768 "Z:$app/kelvane.exe" >>"$log" 2>&1 &
desktop_pid=$!
wait_until 90 "dialog window" window_count_is 1
dialog=$(kelvane_windows)
xdotool windowfocus --sync "$dialog"
sleep 1
eval "$(xdotool getwindowgeometry --shell "$dialog")"

# click_at X Y: a click at X, Y of the dialog's 298 x 290 units; the frame is a few pixels wide
# and the caption some 24 pixels high.
click_at() {
    xdotool mousemove --window "$dialog" $((3 + $1 * (WIDTH - 6) / 298)) \
        $((HEIGHT - 3 - (290 - $2) * (HEIGHT - 27) / 290)) click 1
    sleep 0.3
}
click_start() { click_at 189 130; }
# Replaces the text of the field at X, Y with TEXT, typed: click_type X Y TEXT.
click_type() {
    click_at "$1" "$2"
    xdotool key ctrl+a BackSpace
    xdotool type --delay 20 "$3"
}
# The Start button (164, 123, 50 x 14 units and a margin) cut from a shot of the dialog alone,
# with the pointer away from it.
start_button_shot() {
    xdotool mousemove 0 0
    sleep 0.5
    import -window "$dialog" "$work/window.png"
    convert "$work/window.png" -crop "$((50 * (WIDTH - 6) / 298 + 4))x$((14 * (HEIGHT - 27) / 290 + 4))+$((1 + 164 * (WIDTH - 6) / 298))+$((HEIGHT - 5 - 167 * (HEIGHT - 27) / 290))" +repage "$1"
}
# Neither the focus nor the default frame on Start.
start_button_shot "$work/start-plain.png"

# Start with an empty list: refused with a warning, and the focus is back in the list.
xdotool key Tab Tab Tab Tab Return
answer_box "warning for an empty list"

# The list, the site path and the prefix typed, www ticked, then a click on Start.
xdotool type --delay 20 "$list"
xdotool key Tab
xdotool type --delay 20 /var/www/sites
xdotool key Tab m Tab space

notepad_or_box() { xdotool search --name 'Notepad' >/dev/null 2>&1 || window_count_is 2; }

# A click on Start; the output must then match the Linux tool's. The output is opened at the end:
# in Notepad, or, where nothing opens text files, a warning says so. Either is closed.
run_and_check() {
    click_start
    wait_until 30 "$1" file_size_is "$app/_out.txt" "$(stat -c %s "$work/expected.txt")"
    cmp "$work/expected.txt" "$app/_out.txt" || fail "$1: _out.txt differs from the Linux tool's output"
    wait_until 20 "output opened after $1" notepad_or_box
    local notepad
    notepad=$(xdotool search --name 'Notepad' 2>/dev/null | head -n 1 || true)
    if [ -n "$notepad" ]; then
        xdotool windowfocus --sync "$notepad" key alt+F4
        wait_until 20 "Notepad closed" sh -c '! xdotool search --name Notepad >/dev/null 2>&1'
    else
        wait_until 20 "warning about opening the output" window_count_is 2
        import -window root "$work/open-warning.png"
        answer_box "warning about opening the output"
    fi
}
run_and_check "first run"
# Run again over an output that is there: it is replaced whole.
echo stale >"$app/_out.txt"
run_and_check "second run"
import -window root "$work/dialog.png"
import -window "$dialog" "$work/dialog-window.png"

# Start had the focus after the run, and then by Tab: once the focus has left it for a field,
# it looks as before any click, without the default frame that would say Enter clicks it.
for how in "after the run" "reached by Tab"; do
    [ "$how" = "after the run" ] || xdotool key Tab Tab Tab
    click_at 227 28
    start_button_shot "$work/start-now.png"
    compare -metric AE "$work/start-plain.png" "$work/start-now.png" null: >/dev/null 2>&1 ||
        fail "Start keeps a frame once the focus has left it ($how): $work/start-now.png"
done

# Start that must end in a warning and leave the output as it was, unopened: refused_run WHAT.
# A run that wrote the same bytes would have put a new file in its place.
refused_run() {
    local inode
    inode=$(stat -c %i "$app/_out.txt")
    click_start
    answer_box "$1"
    sleep 1
    cmp "$work/expected.txt" "$app/_out.txt" || fail "$1: _out.txt was changed"
    [ "$(stat -c %i "$app/_out.txt")" = "$inode" ] || fail "$1: _out.txt was replaced"
    ! xdotool search --name Notepad >/dev/null 2>&1 || fail "$1: the output was opened"
    [ "$(kelvane_windows | wc -l)" -eq 1 ] || fail "$1: a second box"
}
# A list file's path with a typo, as a path of either system; a list whose every name is refused.
for path in 'D:\lists\domains.txt' /home/user/lists/domains.txt; do
    click_type 72 141 "$path"
    refused_run "warning for the missing list file $path"
done
click_type 72 141 $'foo bar.com\nlocalhost\nb"c.com'
refused_run "warning for a list whose every name is refused"

# A site path pasted with a line break inside is refused; with one at its end it runs. The text
# is copied from the list field, then the list typed again.
copy_from_list() {
    click_type 72 141 "$1"
    xdotool key ctrl+a ctrl+c
    click_type 72 141 "$list"
}
copy_from_list $'/srv/other\nInclude /x'
click_at 227 28
xdotool key ctrl+a ctrl+v
refused_run "warning for a site path with a line break inside"
copy_from_list $'/var/www/sites\n'
click_at 227 28
xdotool key ctrl+a ctrl+v
echo stale >"$app/_out.txt"
run_and_check "run with a site path pasted with its line break"

# Escape, Alt+F4 and F10 leave the dialog open; Enter in the site path closes it and saves.
xdotool windowfocus --sync "$dialog" key Escape alt+F4 F10
sleep 1
window_count_is 1 || fail "the dialog closed on Escape, Alt+F4 or F10"
click_at 227 28
xdotool key Return
wait_until 20 "close on Enter in the site path" window_count_is 0
# The desktop goes with its last program: kelvane.exe has ended, not only hidden its window.
wait_until 30 "end of kelvane.exe" sh -c "! kill -0 $desktop_pid 2>/dev/null"
wait_until 20 "Kelvane.ini" test -s "$app/Kelvane.ini"
for line in '[Kelvane]' 'pathroot=/var/www/sites' 'subdomain=m' 'bwww=1'; do
    grep -qxF "$line" <(tr -d '\r' <"$app/Kelvane.ini") || fail "Kelvane.ini lacks $line"
done
echo "dialog_test: passed (screenshot: $work/dialog.png)"
