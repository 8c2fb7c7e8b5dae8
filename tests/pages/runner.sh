# What the page-test runners share; sourced. The caller sets `work` (a temporary directory), as
# scripts/bus_session.sh needs it.
failed=0
fail() {  # fail TEXT: the run fails, and goes on to say what else is wrong
    echo "$(basename "$0" .sh): $*" >&2
    failed=1
}

# await FILE PATTERN [PID]: waits until a line of FILE (which may not exist yet) matches the
# extended regular expression PATTERN; false after 20 s, or once the process PID has ended.
await() {
    { timeout 20 tail -n +1 -F ${3:+--pid="$3"} "$1" 2>/dev/null || true; } | grep -Eq -m1 -- "$2"
}

# bus_with_dimmer BUS ARGS...: the virtual bus with the drop "panel" (the page's port), a dimmer
# in area 1 (box 1) and the devices of ARGS. The dimmer signs on when the bus starts; that has
# passed before the panel joins the line.
bus_with_dimmer() {
    bus_start "$1" --drop panel --device dimmer:area=1,box=1,channels=4 "${@:2}"
    await "$work/trace" ' dimmer1 '
}

# traced "[N] SOURCE HEX": the trace holds this frame (exactly N times when N is given); "??"
# matches any byte, and the checksum is part of HEX.
traced() {
    local words wanted="" found
    read -r -a words <<<"$1"
    if [[ ${words[0]} =~ ^[0-9]+$ ]]; then
        wanted=${words[0]}
        words=("${words[@]:1}")
    fi
    local pattern=" ${words[*]}"
    found=$(grep -c "${pattern//\?\?/[0-9A-F][0-9A-F]}\$" "$work/trace" || true)
    [[ $found -eq ${wanted:-$found} && (-n $wanted || $found -gt 0) ]] ||
        fail "expected ${wanted:-some} \"${words[*]}\" on the bus, found $found"
}

# Lists the panel's frames on the bus, with their time in ms after its first frame.
panel_frames() {
    echo "the panel's frames on the bus (ms after its first frame):"
    awk '$2 == "panel" { if (first == "") first = $1; line = sprintf("%8.1f", ($1 - first) / 1000);
         for (i = 3; i <= NF; i++) line = line " " $i; print line }' "$work/trace"
}
