// Join masks over the bus (join_masks_test.bus): the dimmer of area 5 belongs to join 2 only.
// Before area 5 has a mask, the panel's preset with join 1 misses it. Once the bus has set the
// mask 0x0F, joins of area 5 that share a bit with it are widened both ways: received ones as
// scripts see them, sent ones on the wire, where the dimmer now hears them; a join with no bit in
// common stays as it is.
var joins = [], reports = [];
var area5 = new ActiveXObject('Brevanto.PacketFilter');
area5.PacketToMatch = [0x1C, 0x05, null, 0x01];
area5.OnFilterMatches = function (packet) {
    joins.push(packet.Join);
    return false;
};
Global.NetworkHandler.InFilters.Add(area5);
Global.RegisterForEvent('Preset', null, function (p) {
    if (p.Area === 5 && p.Opcode === 0x62) reports.push(p.Preset + '/' + p.Join);
});

afterRegistrations(function () {
    Global.SendPreset(5, 0x01, 3);
    waitFor(function () { return joins.length >= 2; }, 10000, function () {
        assertEqual(joins.join(','), '15,240', 'received joins as scripts see them');
        Global.SendPreset(5, 0x01, 4);
        Global.RequestCurrentPreset(5, 0x01);
        waitFor(function () { return reports.length >= 1; }, 5000, function () {
            assertEqual(reports.join(','), '4/15', 'the dimmer heard the widened join');
            done();
        }, 'the dimmer\'s preset report');
    }, 'the two presets from the bus');
});
