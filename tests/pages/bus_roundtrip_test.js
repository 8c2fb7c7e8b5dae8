// Round trip through the virtual bus (tests/pages/run_bus_page.sh): a dimmer in area 1 answers
// the page's preset question. Then the backlight: its level packets reach the page's InFilters
// but never the bus (bus_roundtrip_test.bus), dimming and touches switch it and announce the
// switch, and a "Reset" packet for this panel's box brightens it while one for another box does
// not.
var net = Global.NetworkHandler;

var PRESET_3 = [0x1C, 0x01, 0x00, 0x02, 0x00, 0x00, 0xFF];
var WHICH_PRESET = [0x1C, 0x01, 0x00, 0x63, 0x00, 0x00, 0xFF];

var seen = [];          // every packet the filter passed to its callback, in order
var holding = false;    // the script thread is busy in a loop of its own
var calledWhileHolding = false;
var filter = new ActiveXObject('Brevanto.PacketFilter');
filter.PacketToMatch = [null];  // a wildcard: every packet
filter.Callbacks.Add(function (pkt) {
    if (holding) calledWhileHolding = true;
    seen.push({bytes: bytesOf(pkt), port: pkt.PortNumber});
});
net.InFilters.Add(filter);

function received(test) {
    for (var i = 0; i < seen.length; i++)
        if (seen[i].port === 1 && test(seen[i].bytes)) return seen[i];
    return null;
}

// The feedback copies pass the filter at once (bridge_test.js); here they must not claim to come
// from the port.
net.SendPacket(PRESET_3);
net.SendPacket(WHICH_PRESET);
assertEqual(seen.length, 2, 'the feedback copies');
assert(seen[0].port !== 1 && seen[1].port !== 1, 'a feedback copy claims to come from the port');

// Keep the script thread busy while the dimmer answers: a packet that arrives meanwhile must
// wait for the thread to be free, since callbacks run on it.
holding = true;
var until = Date.now() + 400;
while (Date.now() < until) {}
holding = false;
assert(!calledWhileHolding, 'a callback ran while the script thread was busy elsewhere');

function dimmerReply(b) {
    return b.length === 8 && b[0] === 0x1C && b[1] === 0x01 && b[3] === 0x62;
}

waitFor(function () { return received(dimmerReply); }, 8000, function () {
    var reply = received(dimmerReply).bytes;
    // The preset index (preset 3 is index 2) shows the dimmer took the page's preset frame.
    assertEqual(reply[2] + reply[5], 2, 'the dimmer reports the preset the page selected');
    afterRegistrations(function () { run(0); });
}, 'the dimmer\'s reply');

var bl = Global.BacklightController;
bl.StandbyLevel = 2;
bl.OnLevel = 255;

var levels = [];  // the levels of the level packets the incoming filters saw
var levelFilter = new ActiveXObject('Brevanto.PacketFilter');
levelFilter.PacketToMatch = [0x1C, 0x01, 0x03, 0x48];
levelFilter.Callbacks.Add(function (pkt) {
    levels.push(255 - pkt[4]);
    return false;
});
net.InFilters.Add(levelFilter);

var events = [];
Global.RegisterForEvent('BacklightOn', null, function () { events.push('on'); });
Global.RegisterForEvent('BacklightOff', null, function () { events.push('off'); });

function physicalReset(box) {
    var pkt = new ActiveXObject('Brevanto.Packet');
    pkt.Assign([0x5C, 0x01, box, 0x00, 0x00, 0x00, 0x00]);
    pkt.QuickDecode();  // the header fields, as the default incoming filter gives them
    return pkt;
}
function last(list) { return list[list.length - 1]; }

// Each step acts, then waits until its condition holds.
var steps = [
    // Dimmed as after the delay without a touch: the standby level goes out.
    {act: function () { bl.State = false; },
     until: function () { return last(events) === 'off' && last(levels) === 2; }},
    // A touch brightens it again.
    {act: function () { bl.UserActivity(); },
     until: function () { return last(events) === 'on' && last(levels) === 255; }},
    {act: function () { bl.State = false; }, until: function () { return last(events) === 'off'; }},
    // A Reset for another box, then one for this box: only the second brightens.
    {act: function () {
        events = [];
        levels = [];
        Global.RaiseEvent('Reset', physicalReset(Global.BoxNumber + 1));
        Global.RaiseEvent('Reset', physicalReset(Global.BoxNumber));
    }, until: function () { return events.length === 1 && levels.length === 1; }},
    {act: function () {
        assertEqual(events.join(), 'on');
        assertEqual(levels.join(), '255', 'one level packet, for the Reset of this box');
        assertEqual(bl.State, true);
    }, until: function () { return true; }},
];

function run(i) {
    if (i >= steps.length) return done();
    steps[i].act();
    waitFor(steps[i].until, 10000, function () { run(i + 1); }, 'step ' + i);
}
