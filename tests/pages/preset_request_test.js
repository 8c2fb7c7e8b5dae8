// A repeated preset request over the virtual bus (tests/pages/run_bus_page.sh): the dimmer of
// area 1 answers the first transmission, so the request goes out once (the trace lists one frame)
// and leaves InFilters at the end of the pass that saw the reply.
var net = Global.NetworkHandler;

var reports = 0;
var watcher = new ActiveXObject('Brevanto.PacketFilter');
watcher.PacketToMatch = [0x1C, 0x01, null, 0x62, null, null, 0xFF];
watcher.OnFilterMatches = function () {
    reports++;
    return false;
};
net.InFilters.Add(watcher);
var filters = net.InFilters.Count;

assertEqual(Global.RequestCurrentPreset(1, 0xFF, 500), undefined, 'no result');
// The reply's pass needs this thread for the watcher (it stands before the request), so it cannot
// have ended yet.
assertEqual(net.InFilters.Count, filters + 1, 'the request waits in InFilters for its reply');

waitFor(function () { return reports >= 1 && net.InFilters.Count === filters; }, 8000,
        function () {
            assertEqual(reports, 1, 'one preset report');
            done();
        }, 'the preset report and the request leaving InFilters');
