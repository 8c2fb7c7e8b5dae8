// Errors in callbacks the library makes are the callback's, not the page's: an event handler,
// a filter function, a Callbacks function that throws is reported with its place and the page
// goes on.
// expect-output: callback_errors_test.js:13: Error: from OnFilterMatches
// expect-output: callback_errors_test.js:16: Error: from a Callbacks function
// expect-output: callback_errors_test.js:28: Error: from an event handler
// expect-output: callback_errors_test.js:33: Error: from a handler the bus calls later
var net = Global.NetworkHandler;

var f = new ActiveXObject('Brevanto.PacketFilter');
f.PacketToMatch = [0x1C, 0x02];
f.OnFilterMatches = function () {
    throw new Error('from OnFilterMatches');
};
f.Callbacks.Add(function () {
    throw new Error('from a Callbacks function');
});
var after = 0;
f.Callbacks.Add(function () { after++; });
net.InFilters.Add(f);
assertEqual(net.SendPacket([0x1C, 0x02, 0x03, 0x48, 0x00, 0x00, 0xFF]), 0, 'sent');
assertEqual(after, 1, 'the next callback still ran');

// An event parameter that cannot be read is skipped (the handler's filter matches); a handler
// that throws is reported, when the bus calls it as when a page's call led to it.
var handled = 0;
Global.RegisterForEvent('CallbackErrors', { Area: 5 }, function () {
    if (handled++ == 0) throw new Error('from an event handler');
});
Global.RegisterForEvent('CallbackErrorsEnd', null, function () { done(); });
Global.RegisterForEvent('CallbackErrorsLater', null, function () {
    try {
        throw new Error('from a handler the bus calls later');
    } finally {
        Global.RaiseEvent('CallbackErrorsEnd', {});
    }
});
waitFor(function () {
    if (!handled) Global.RaiseEvent('CallbackErrors', { get Area() { throw new Error('x'); } });
    return handled > 0;
}, 15000, function () {
    Global.RaiseEvent('CallbackErrorsLater', {});
}, 'the handler of an event with an unreadable parameter');

// Scripts a page loads: their declarations go when the script is removed; one that fails is
// reported, and the page goes on.
// expect-output: failing_script.js:3: Error: a loaded script fails
assertEqual(Global.LoadScript('lib', 'loaded_script.js'), 1, 'loaded');
assertEqual(loadedFunction(), 42, 'its function');
Global.RemoveScript('lib');
assertEqual(typeof loadedVar, 'undefined', 'its variable is gone');
assertEqual(typeof loadedFunction, 'undefined', 'its function is gone');

assertEqual(Global.LoadScript('failing', 'failing_script.js'), 0, 'the failure is the result');
assertEqual(beforeFailure, true, 'what ran before the failure stays');
