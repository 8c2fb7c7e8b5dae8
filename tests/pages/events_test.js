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

// A registration takes effect at the event thread's next wake, after the raises queued with it,
// so the page lets the bus take the registrations before it raises.
setTimeout(function () {
    for (var i = 1; i <= kEvents; i++) Global.RaiseEvent('HostTest', { n: i });
    waitFor(function () { return received >= kEvents; }, 15000, function () {
        assertEqual(received, kEvents, 'events delivered');
        assertEqual(sum, kEvents * (kEvents + 1) / 2, 'every event once');
        assertEqual(other, 0, 'handlers only see their own event');
        // After unregistering, raising the event reaches nobody.
        Global.UnRegisterForEvent(id);
        Global.RaiseEvent('HostTest', { n: 1 });
        Global.RaiseEvent('OtherEvent', {});
        waitFor(function () { return other === 1; }, 5000, function () {
            setTimeout(function () {
                assertEqual(received, kEvents, 'no delivery after UnRegisterForEvent');
                done();
            }, 50);
        }, 'the second event');
    }, kEvents + ' events');
}, 100);
