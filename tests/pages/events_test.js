// Named events: a page handler registered through Global runs on the script thread when the
// event is raised (the bus's worker threads hand the call over), with no event lost. Then
// Global.Close() ends the host promptly however busy the event bus is: a few hundred handlers
// and an event raised every millisecond, still raised while the host shuts down.
var kEvents = 10000;
var received = 0, sum = 0, other = 0;
var id = Global.RegisterForEvent('HostTest', null, function (params) {
    received++;
    sum += params.n;
});
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
            underLoad();
        }, 'the sentinel event');
    }, kEvents + ' events');
});

function underLoad() {
    var kHandlers = 300, calls = 0;
    for (var i = 0; i < kHandlers; i++)
        Global.RegisterForEvent('LoadTest', null, function () { calls++; });
    setInterval(function () { Global.RaiseEvent('LoadTest', {}); }, 1);
    waitFor(function () { return calls >= 3 * kHandlers; }, 15000, done, 'handlers under load');
}
