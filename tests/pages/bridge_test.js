// Library objects as a page sees them: creation by name, members, errors, expandos, collections.
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
assertEqual(pkt.Count, 3, 'Count');
pkt[2] = 7;  // indexing as such is packet_object_test.js's
assertThrows(function () { pkt.Remove(10); }, 0x80070057, 'Remove out of range');
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
assertEqual(filter.Callbacks.Count, 2, 'Callbacks.Count');
var seen = [];
for (var en = new Enumerator(filter.Callbacks); !en.atEnd(); en.moveNext()) seen.push(en.item()());
assertEqual(seen.join(','), '1,2', 'Enumerator over a collection');
var copy = new VBArray(pkt.GetSafeArray(17)).toArray();
assertEqual(copy.join(','), '1,2,7', 'VBArray over a byte array');

// The page's Global still reaches the bus.
afterRegistrations(done);
