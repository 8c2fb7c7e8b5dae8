// The host's time-out ends a page whose timers are always due.
// exit: 2
// host-timeout: 1
// expect-output: time-out after 1 s without Global.Close()
setInterval(function () {}, 0);
