// Named events: a page handler registered through Global runs on the script thread when the
// event is raised (the bus's worker threads hand the call over), with no event lost.
var kEvents = 10000;
var received = 0, sum = 0, other = 0;
var id = Global.RegisterForEvent('HostTest', null, function (params) {
    received++;
    sum += params.n;
});
assert(typeof id === 'number', 'handler id is a number: ' + typeof id);
Global.RegisterForEvent('OtherEvent', null, function () { other++; });

afterRegistrations(function () {
    for (var i = 1; i <= kEvents; i++) Global.RaiseEvent('HostTest', { n: i });
    waitFor(function () { return received >= kEvents; }, 15000, function () {
        assertEqual(sum, kEvents * (kEvents + 1) / 2, 'every event once');
        assertEqual(other, 0, 'handlers only see their own event');
        // The bus takes an unregistration before the raises queued with it: the raise of
        // HostTest finds no handler, and OtherEvent, raised after it, is the sentinel.
        Global.UnRegisterForEvent(id);
        Global.RaiseEvent('HostTest', { n: 1 });
        Global.RaiseEvent('OtherEvent', {});
        waitFor(function () { return other === 1; }, 5000, function () {
            assertEqual(received, kEvents, 'no delivery after UnRegisterForEvent');
            done();
        }, 'the sentinel event');
    }, kEvents + ' events');
});
