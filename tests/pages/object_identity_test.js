// A library object that reaches script twice is the same script object: read twice, passed
// back as `this`, handed to two callbacks of one filter pass.
var filter = new ActiveXObject('Brevanto.PacketFilter');
assert(filter.Callbacks === filter.Callbacks, 'a collection read twice');
var seen = [];
filter.PacketToMatch = [0x1C, 0x01];
filter.OnFilterMatches = function (packet) {
    assert(this === filter, '`this` is the filter');
    seen.push(packet);
    return false;
};
filter.Callbacks.Add(function (packet) { seen.push(packet); });
filter.Callbacks.Add(function (packet) { seen.push(packet); });
Global.NetworkHandler.InFilters.Add(filter);
Global.NetworkHandler.SendPacket([0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF]);
assertEqual(seen.length, 3, 'OnFilterMatches and two Callbacks');
assert(seen[0] === seen[1] && seen[1] === seen[2], 'one packet object for the pass');
seen[0].Note = 'marked';
assertEqual(seen[2].Note, 'marked', 'the same object behind it');

// Many objects made and dropped meanwhile change nothing for the ones still held.
for (var i = 0; i < 3000; i++) new ActiveXObject('Brevanto.Packet');
assert(filter.Callbacks === filter.Callbacks, 'still the same after many others came and went');
var packet = seen[0];
seen = [];
Global.NetworkHandler.SendPacket([0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF]);
assert(seen[0] !== packet, 'the next pass brings its own packet');
done();
