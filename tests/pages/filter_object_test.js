// Filters built by a page script: their flags, pattern and callbacks as scripts see them.
var f = new ActiveXObject('Brevanto.PacketFilter');
assertEqual(f.Enable, 1, 'enabled at first');
assertEqual(f.DestroyNow, 0, 'not one-shot at first');
assert(!f.Name, 'no name');
f.Name = 'door';
assertEqual(f.Name, 'door', 'name');
f.Priority = 100;
assertEqual(f.Priority, 100, 'priority');

f.PacketToMatch = [1, null, 300, 'x'];
var pattern = new VBArray(f.PacketToMatch).toArray();
assertEqual(pattern.length, 4, 'pattern length');
assertEqual(pattern[0], 1, 'fixed byte');
assertEqual(pattern[1], undefined, 'null is a wildcard');
assertEqual(pattern[2], undefined, 'out of range is a wildcard');
assertEqual(pattern[3], undefined, 'text is a wildcard');
assertThrows(function () { f.PacketToMatch = []; }, 0x80004005, 'empty pattern');
assertEqual(new VBArray(f.PacketToMatch).toArray().length, 0, 'emptied all the same');
assertThrows(function () { f.PacketToMatch = 5; }, 0x80004005, 'no array');

var seen = 0;
f.OnFilterMatches = function (packet) { seen++; return true; };
assert(f.OnFilterMatches !== null, 'function stored');
f.Callbacks.Add(function (packet) {});
assertEqual(f.Callbacks.Count, 1, 'callback added');
f.Tag = 'mine';
assertEqual(f.Tag, 'mine', 'expando');
done();
