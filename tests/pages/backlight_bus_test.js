// The backlight from a page on the virtual bus: its level packets reach the page's InFilters but
// never the bus (backlight_bus_test.bus), dimming and touches switch it and announce the switch,
// and a "Reset" packet for this panel's box brightens it while one for another box does not.
var bl = Global.BacklightController;
var net = Global.NetworkHandler;

bl.Delay = 5000;
assertEqual(bl.Delay, 10000, 'a short Delay is raised to ten seconds');
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
    assertEqual(pkt.BoxNumber, box, 'the packet names box ' + box);
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
afterRegistrations(function () { run(0); });
