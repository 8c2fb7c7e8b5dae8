// A storm from the bus (callback_storm_test.bus): each of 1 000 frames in a row raises an event
// the page handles; none is lost, and the page's own timers keep running while they arrive.
// host-timeout: 40
var presets = 0, timerRuns = 0, ticking = false;
Global.RegisterForEvent('Preset', null, function (p) {
    if (p.Area === 9) return finish();
    if (p.Area !== 2) return;
    if (++presets === 1) ticking = setInterval(function () {
        if (presets < 1000) timerRuns++;
    }, 50);
});

// Handlers run from the library's pool, so on a busy machine the sentinel's may overtake the
// last presets'; what is lost never comes.
function finish() {
    waitFor(function () { return presets === 1000; }, 10000, function () {
        clearInterval(ticking);
        assert(timerRuns >= 10, 'a 50 ms timer ran ' + timerRuns + ' times during the storm');
        done();
    }, 'all 1000 presets (' + presets + ' by the sentinel)');
}

afterRegistrations(function () {
    Global.SendPreset(1, 0xFF, 3);  // tells the bus that the page is ready
});
