# A private X server for a test run; sourced. x_start starts Xvfb, which picks a free display
# itself (-displayfd), so tests running side by side never race for one, and exports DISPLAY;
# x_stop stops it. The caller sets `work` (a temporary directory).
xvfb_pid=""

x_start() {
    Xvfb -displayfd 4 -screen 0 1024x768x24 -nolisten tcp 4>"$work/display" \
        2>"$work/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 500); do
        [[ -s "$work/display" ]] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.01
    done
    local display
    display=$(tr -d '[:space:]' <"$work/display" 2>/dev/null || true)
    if [[ -z "$display" ]]; then
        echo "the X server did not start:" >&2
        cat "$work/xvfb.log" >&2
        return 1
    fi
    export DISPLAY=":$display"
}

x_stop() {
    if [[ -n "$xvfb_pid" ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=""
    fi
}
