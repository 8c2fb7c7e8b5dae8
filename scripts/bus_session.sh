# Starting and stopping the virtual bus around a host run; sourced by the demo and by the page
# tests that need a bus. The caller sets `work` (a temporary directory this removes at the end)
# and may set `host_pid`; commands go to the bus on file descriptor 3.
bus_pid=""
host_pid=""

# Stops whatever is still running (the bus on "quit", or after two seconds by signal) and
# removes the links, the trace and the command pipe.
bus_session_cleanup() {
    trap '' PIPE
    if [[ -n "$host_pid" ]] && kill -0 "$host_pid" 2>/dev/null; then
        kill "$host_pid" 2>/dev/null || true
        wait "$host_pid" 2>/dev/null || true
    fi
    if [[ -n "$bus_pid" ]]; then
        { echo quit >&3; } 2>/dev/null || true
        exec 3>&- || true
        for _ in $(seq 20); do
            kill -0 "$bus_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$bus_pid" 2>/dev/null || true
        wait "$bus_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}

# bus_start BUS_EXE ARGS...: starts the bus with its links and trace in $work, reading commands
# from a pipe held open on descriptor 3, and waits until it is ready.
bus_start() {
    local exe=$1
    shift
    mkfifo "$work/commands"
    "$exe" --link "$work" --trace "$work/trace" "$@" <"$work/commands" >"$work/bus.out" &
    bus_pid=$!
    exec 3>"$work/commands"
    for _ in $(seq 100); do
        grep -qx ready "$work/bus.out" 2>/dev/null && return 0
        kill -0 "$bus_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "the virtual bus did not start" >&2
    return 1
}
