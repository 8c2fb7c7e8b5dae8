// Global.Close() ends the host promptly however busy the event bus is: a few hundred handlers
// and an event raised every millisecond, still raised while the host shuts down.
var kHandlers = 300, calls = 0;
for (var i = 0; i < kHandlers; i++)
    Global.RegisterForEvent('LoadTest', null, function () { calls++; });
setInterval(function () { Global.RaiseEvent('LoadTest', {}); }, 1);
waitFor(function () { return calls >= 3 * kHandlers; }, 15000, done, 'handlers under load');
