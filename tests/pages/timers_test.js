// Window timers share the script thread: an interval of 0 and an interval slower than its
// period hold back neither event handlers nor Global.Close(), and a timer callback that throws
// is reported while the page goes on.
// expect-output: timers_test.js:11: Error: a timer callback fails
var zero = 0, slow = 0;
setInterval(function () { zero++; }, 0);
setInterval(function () {
    for (var until = Date.now() + 5; Date.now() < until;) slow++;
}, 1);
setTimeout(function () {
    throw new Error('a timer callback fails');
}, 0);
// An event handler runs while both intervals are always due.
afterRegistrations(function () {
    assert(zero > 0 && slow > 0, 'both intervals ran');
    done();  // closes while both intervals are still due
});
