// Window timers share the script thread: an interval of 0 and an interval slower than its
// period hold back neither event handlers nor Global.Close(), and a timer callback that throws
// is reported while the page goes on.
// expect-output: timers_test.js:11: Error: a timer callback fails
var zero = 0, slow = 0, handled = 0;
setInterval(function () { zero++; }, 0);
setInterval(function () {
    for (var until = Date.now() + 5; Date.now() < until;) slow++;
}, 1);
setTimeout(function () {
    throw new Error('a timer callback fails');
}, 0);
Global.RegisterForEvent('TimersTest', null, function () { handled++; });
// The registration takes effect at the event thread's next wake: the page raises until the
// handler has run.
waitFor(function () {
    if (!handled) Global.RaiseEvent('TimersTest', {});
    return handled > 0;
}, 15000, function () {
    assert(zero > 0 && slow > 0, 'both intervals ran');
    done();  // closes while both intervals are still due
}, 'the handler while the intervals are always due');
