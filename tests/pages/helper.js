// Assertions for page tests. A failed assertion throws, which the host reports with the file
// and line and ends with status 1; a page test ends by calling done(), which closes the host.
function fail(message) {
    throw new Error('assertion failed: ' + message);
}
function assert(condition, message) {
    if (!condition) fail(message || 'condition is false');
}
function assertEqual(actual, expected, message) {
    if (actual !== expected)
        fail((message ? message + ': ' : '') + 'expected ' + String(expected) + ', got ' +
             String(actual));
}
// Runs fn and expects it to throw an error with the given status code (unsigned).
function assertThrows(fn, code, message) {
    try {
        fn();
    } catch (e) {
        if (code !== undefined && (e.number >>> 0) !== code)
            fail((message || 'error code') + ': expected 0x' + code.toString(16) + ', got 0x' +
                 ((e.number >>> 0).toString(16)) + ' (' + e.message + ')');
        return e;
    }
    fail((message || 'call') + ' did not throw');
}
// Calls check() every few milliseconds until it returns true, then next(); fails after `ms`.
function waitFor(check, ms, next, what) {
    var start = Date.now();
    (function poll() {
        if (check()) return next();
        if (Date.now() - start > ms) fail('timed out waiting for ' + (what || 'a condition'));
        setTimeout(poll, 5);
    })();
}
// Seven bytes of a frame and their checksum.
function withChecksum(seven) {
    var sum = 0;
    for (var i = 0; i < 7; i++) sum += seven[i];
    return seven.concat([(0x100 - (sum & 0xFF)) & 0xFF]);
}
// Whether the list holds the item.
function has(list, item) {
    return list.indexOf(item) >= 0;
}
// A packet's bytes as a script array.
function bytesOf(packet) {
    var bytes = [];
    for (var i = 0; i < packet.Count; i++) bytes.push(packet[i]);
    return bytes;
}
// Ends a passing page test.
function done() {
    Global.Log('PASS');
    Global.Close();
}
// Registrations take effect at the event thread's next wake, after the raises queued with them:
// calls next() once the handlers registered so far are live.
function afterRegistrations(next) {
    var live = false;
    Global.RegisterForEvent('HelperPing', null, function () { live = true; });
    waitFor(function () {
        if (!live) Global.RaiseEvent('HelperPing', {});
        return live;
    }, 15000, next, 'the event registrations');
}
