// Library objects as a page sees them: creation by name, members, errors, expandos,
// collections, packets and filters built by script, and one script object per library object
// however often it reaches script.
['Brevanto.Packet', 'Brevanto.PacketFilter', 'Brevanto.PacketWithResponse', 'Brevanto.Schedule',
 'Brevanto.PublicHoliday', 'Brevanto.Timer'].forEach(function (name) { new ActiveXObject(name); });

var e = assertThrows(function () { new ActiveXObject('Brevanto.NoSuchClass'); });
assert(e.message.indexOf('Brevanto.NoSuchClass') >= 0, 'unknown class named: ' + e.message);
// The panel has one Global: a page that made another would cut itself off the bus.
['Brevanto.Global', 'brevanto.global', 'Brevanto.Global.1'].forEach(function (name) {
    var refused = assertThrows(function () { new ActiveXObject(name); }, 0x80070005, name);
    assert(refused.message.indexOf('cannot create') >= 0, 'says why: ' + refused.message);
});

// Global's plain properties through the page's data context.
assertEqual(Global.BoxNumber, 1, 'BoxNumber');
Global.PacketDelay = 75;
assertEqual(Global.PacketDelay, 75, 'PacketDelay');
assertThrows(function () { Global.NoSuchMember(); }, 0x80020006, 'unknown member');

var pkt = new ActiveXObject('Brevanto.Packet');
pkt.Add(1);
pkt.Add(2);
pkt.Add(3);
pkt[2] = 7;  // indexing as such is below
pkt.Note = 'kitchen';
pkt.Level = 42;
var names = [];
for (var k in pkt) names.push(k);
assert(names.indexOf('Note') >= 0 && names.indexOf('Level') >= 0, 'for-in: ' + names);
assertEqual(pkt.Note + pkt.Level, 'kitchen42', 'expandos');

// A packet has no enumerator of its own; collections enumerate through _NewEnum.
assertThrows(function () { new Enumerator(pkt); }, 0x80004001, 'packet enumerator');
var filter = new ActiveXObject('Brevanto.PacketFilter');
var first = function () { return 1; }, second = function () { return 2; };
filter.Callbacks.Add(first);
filter.Callbacks.Add(second);
var seen = [];
for (var en = new Enumerator(filter.Callbacks); !en.atEnd(); en.moveNext()) seen.push(en.item()());
assertEqual(seen.join(','), '1,2', 'Enumerator over a collection');
var copy = new VBArray(pkt.GetSafeArray(17)).toArray();
assertEqual(copy.join(','), '1,2,7', 'VBArray over a byte array');

// Packets built by a page script. A header field the packet lacks throws (where an unknown name
// of an expando object is undefined).
var p = new ActiveXObject('Brevanto.Packet');
assertThrows(function () { return p.Channel; }, 0x80020003, 'absent channel');
p.Assign([0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF]);
assertThrows(function () { p.GetSafeArray(12); }, 0x80070057, 'only UI1 arrays');

p.QuickDecode();
assertEqual(p.Area, 1, 'decoded Area');
p.Logical = 0;
assertThrows(function () { p.Area = 3; }, 0x80020003, 'Area refused on a physical packet');

// A number names a byte only below Count; the same number names the byte again once it is one.
var q = new ActiveXObject('Brevanto.Packet');
q.Add(1);
q[1] = 9;
assertEqual(q[1], 9, 'beyond Count: a property of its own');
q.Assign('ab');
assertEqual(q[1], 0, 'byte 1 again');
q.Note = 'first';
delete q.Note;
assertEqual(q.Note, undefined, 'deleted');
q.Note = 'again';
assertEqual(q.Note, 'again', 'a deleted member can come back');

// A filter's flags and pattern as a page reads them back.
var f = new ActiveXObject('Brevanto.PacketFilter');
f.Priority = 100;
assertEqual([f.Enable, f.DestroyNow, f.Priority].join(), '1,0,100', 'Enable, DestroyNow, Priority');
f.PacketToMatch = [1, null, 300, 'x'];
var pattern = new VBArray(f.PacketToMatch).toArray();
assertEqual(pattern.length + ':' + pattern.join(), '4:1,,,', 'null, 300 and text are wildcards');

// A library object that reaches script twice is the same script object: read twice, passed
// back as `this`, handed to two callbacks of one filter pass.
var watcher = new ActiveXObject('Brevanto.PacketFilter');
assert(watcher.Callbacks === watcher.Callbacks, 'a collection read twice');
seen = [];
watcher.PacketToMatch = [0x1C, 0x01];
watcher.OnFilterMatches = function (packet) {
    assert(this === watcher, '`this` is the filter');
    seen.push(packet);
    return false;
};
watcher.Callbacks.Add(function (packet) { seen.push(packet); });
watcher.Callbacks.Add(function (packet) { seen.push(packet); });
Global.NetworkHandler.InFilters.Add(watcher);
Global.NetworkHandler.SendPacket([0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF]);
assertEqual(seen.length, 3, 'OnFilterMatches and two Callbacks');
assert(seen[0] === seen[1] && seen[1] === seen[2], 'one packet object for the pass');

// Many objects made and dropped meanwhile change nothing for the ones still held.
for (var i = 0; i < 3000; i++) new ActiveXObject('Brevanto.Packet');
assert(watcher.Callbacks === watcher.Callbacks, 'still the same after many others came and went');
var packet = seen[0];
seen = [];
Global.NetworkHandler.SendPacket([0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF]);
assert(seen[0] !== packet, 'the next pass brings its own packet');

// The page's Global still reaches the bus.
afterRegistrations(done);
