// Packets built by a page script: bytes, Assign from a script array, the header fields and
// their errors, and named values added by script.
var p = new ActiveXObject('Brevanto.Packet');
assertEqual(p.Count, 0, 'fresh packet');
assertEqual(p.Fade, 0, 'absent fade reads 0');
assertThrows(function () { return p.Channel; }, 0x80020003, 'absent channel');

p.Add(0x5C);
assertEqual(p[0], 0x5C, 'byte by number');

// Seven bytes from a script array get their checksum.
p.Assign([0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF]);
assertEqual(p.Count, 8, 'checksum appended');
assertEqual(p[7], 0x99, 'checksum');
var bytes = new VBArray(p.GetSafeArray(17)).toArray();
assertEqual(bytes.length, 8, 'safe array of the bytes');
assertEqual(bytes[1], 1, 'safe array element');
assertThrows(function () { p.GetSafeArray(12); }, 0x80070057, 'only UI1 arrays');

p.QuickDecode();
assertEqual(p.Logical, 1, 'decoded Logical');
assertEqual(p.Area, 1, 'decoded Area');
assertEqual(p.Join, 0xFF, 'decoded Join');
assertEqual(p.Opcode, 0x48, 'decoded Opcode');
assertThrows(function () { return p.BoxNumber; }, 0x80020003, 'no BoxNumber on a logical packet');

p.Logical = 0;
assertThrows(function () { return p.Area; }, 0x80020003, 'Area gone with Logical 0');
p.BoxNumber = 2;
assertEqual(p.BoxNumber, 2, 'BoxNumber accepted');
assertThrows(function () { p.Area = 3; }, 0x80020003, 'Area refused on a physical packet');

// Indexing by number reads and writes bytes; beyond Count a name is a property of its own.
p[2] = 7;
assertEqual(p.Item(2), 7, 'indexed put');
p.Room = 'hall';
assertEqual(p.Room, 'hall', 'expando');
assertThrows(function () { p.Remove(-1); }, 0x80070057, 'negative index');
assertThrows(function () { p.Add(300); }, 0x80070057, 'no byte');
// A number names a byte only below Count; the same number names the byte again once it is one.
var q = new ActiveXObject('Brevanto.Packet');
q.Add(1);
q[1] = 9;
assertEqual(q[1], 9, 'beyond Count: a property of its own');
q.Assign('ab');
assertEqual(q.Count, 4, 'two characters, two bytes each');
assertEqual(q[1], 0, 'byte 1 again');
q.Note = 'first';
delete q.Note;
assertEqual(q.Note, undefined, 'deleted');
q.Note = 'again';
assertEqual(q.Note, 'again', 'a deleted member can come back');
done();
