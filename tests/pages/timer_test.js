// Script timers: defaults, a one-shot that nobody keeps a variable for, a repeating timer whose
// callback is slower than its period and is cancelled from inside it, and a callback emptied
// while the timer runs. Then window timers, which share the script thread: an interval of 0 and
// an interval slower than its period hold back neither event handlers nor Global.Close(), and a
// timer callback that throws is reported while the page goes on.
// expect-output: timer_test.js:76: Error: a timer callback fails
var t = new ActiveXObject('Brevanto.Timer');
assertEqual(t.Period, 1000, 'default period');
assertEqual(t.OneShot, 1, 'one-shot by default');
assertEqual(t.Enabled, 0, 'not enabled');
assert(!t.Name, 'no name');
var next = new ActiveXObject('Brevanto.Timer');
assertEqual(next.id, t.id + 1, 'ids increase by one');
t.Name = 'hall';
assertEqual(t.Name, 'hall', 'name');

function busy(ms) {
    var end = Date.now() + ms;
    while (Date.now() < end) {}
}

// Nothing holds the timer but the timer thread.
var once = { calls: 0, enabledInside: -1, arg: null, started: Date.now(), elapsed: 0 };
Global.CreateTimer(function (timer) {
    once.calls++;
    once.enabledInside = timer.Enabled;
    once.elapsed = Date.now() - once.started;
    once.arg = timer;
}, 250).Start();

// Period 50, each call takes 120 ms: it falls behind and catches up until it is cancelled.
var slowCalls = 0;
var slow = Global.CreateTimer(function (timer) {
    slowCalls++;
    if (slowCalls === 4) timer.Cancel();
    else busy(120);
}, 50);
slow.OneShot = 0;
slow.Start();

// No callback: the timer keeps running but calls no script.
var silentCalls = 0;
var silent = Global.CreateTimer(function () { silentCalls++; }, 30);
silent.OneShot = 0;
silent.Callback = null;
assertEqual(silent.Callback, null, 'callback emptied');
silent.Start();

waitFor(function () { return once.calls === 1 && slowCalls === 4; }, 10000,
        function () {
            assertEqual(once.enabledInside, 1, 'enabled inside the call');
            assert(once.elapsed >= 240, 'fired after its period: ' + once.elapsed + ' ms');
            assertEqual(slow.Enabled, 0, 'cancelled from its callback');
            assertEqual(silent.Enabled, 1, 'a timer without callback keeps running');
            // A fresh one-shot that comes due after more periods proves nothing else arrives.
            Global.CreateTimer(function () {
                assertEqual(once.calls, 1, 'a one-shot fires once');
                assertEqual(once.arg.Enabled, 0, 'not enabled after the call');
                assertEqual(slowCalls, 4, 'no call after Cancel');
                assertEqual(silentCalls, 0, 'no script call without a callback');
                silent.Cancel();
                // Still running when the page closes: the shut-down stops it and lets it go.
                var pending = Global.CreateTimer(function () {}, 10);
                pending.OneShot = 0;
                pending.Start();
                windowTimers();
            }, 250).Start();
        }, 'the timers');

function windowTimers() {
    var zero = 0, slow = 0;
    setInterval(function () { zero++; }, 0);
    setInterval(function () {
        for (var until = Date.now() + 5; Date.now() < until;) slow++;
    }, 1);
    setTimeout(function () { throw new Error('a timer callback fails'); }, 0);
    // An event handler runs while both intervals are always due.
    afterRegistrations(function () {
        assert(zero > 0 && slow > 0, 'both intervals ran');
        done();  // closes while both intervals are still due
    });
}
