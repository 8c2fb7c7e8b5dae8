// A page sends through the network handler: arrays become packets, and every packet sent comes
// back, as a copy, through the handler's InFilters on the page's own thread. Then the default
// packets: each call hands one frame to the network handler, where an outgoing filter sees it
// (and consumes it, so nothing reaches the port). The data directory sets both default fades
// to 2000 ms.
var net = Global.NetworkHandler;
assertEqual(net.Port(1).PortNumber, 3, 'port 0 ("COM3:" unless set) while started');
assertThrows(function () { return net.Port(2); }, 0x80070057, 'no port for mask 2');

var copies = [];
var f = new ActiveXObject('Brevanto.PacketFilter');
f.PacketToMatch = [0x1C, 0x01, 0x03, 0x48];
f.OnFilterMatches = function (packet) {
    copies.push(packet);
    return false;
};
net.InFilters.Add(f);

net.SendPacket([0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF]);
assertEqual(copies.length, 1, 'the copy passed InFilters before SendPacket returned');
var copy = copies[0];
assertEqual(copy.Count, 8, 'seven bytes of a logical packet gain their checksum');
assertEqual(copy[7], 0x99, 'checksum');
assertEqual(copy.DestinationPorts, 0, 'the copy goes nowhere');

var packet = new ActiveXObject('Brevanto.Packet');
packet.Assign([0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF]);
assertEqual(net.SendPacket(packet), 0, 'nothing consumed the packet or its copy');
assertEqual(copies.length, 2, 'a Packet object is fed back too');
assert(copies[1] !== packet, 'as a copy');

var tooLong = [];
for (var i = 0; i < 1025; i++) tooLong.push(0xAC);
assertThrows(function () { net.SendPacket(tooLong); }, 0x80070057, 'more than one long frame');
assertEqual(copies.length, 2, 'nothing sent');

var sent = [];
var outgoing = new ActiveXObject('Brevanto.PacketFilter');
outgoing.PacketToMatch = [null];
outgoing.OnFilterMatches = function (packet) {
    sent.push(bytesOf(packet));
    return true;
};
net.OutFilters.Add(outgoing);

function sends(call, seven, what) {
    sent = [];
    assertEqual(call(), undefined, what + ': no result');
    assertEqual(sent.length, 1, what + ': one packet');
    assertEqual(sent[0].join(','), withChecksum(seven).join(','), what);
}

var sendPreset = Global.SendPreset;
assertEqual(typeof sendPreset, 'function', 'SendPreset read as a function object');
sends(function () { return sendPreset(1, 0xFF, 9, 6000); },
      [0x1C, 0x01, 0x2C, 0x00, 0x01, 0x01, 0xFF], 'preset 9 with 6000 ms, as a function object');
sends(function () { return sendPreset.call(Global, 2, undefined, 5); },
      [0x1C, 0x02, 0x64, 0x0A, 0x00, 0x00, 0xFF], 'preset 5, join left out');
sends(function () { return Global.RequestCurrentPreset(1, undefined); },
      [0x1C, 0x01, 0x00, 0x63, 0x00, 0x00, 0xFF], 'preset request, join left out');
sends(function () { return Global.SetLogicalLevel(1, null, undefined, 6, '255'); },
      [0x1C, 0x01, 0x00, 0x81, 0x00, 0x64, 0xFF], 'level of channel 6');
sends(function () { return Global.SetPhysicalLevel(0x10, 3, undefined, 2, 0x80); },
      [0x5C, 0x10, 0x03, 0x92, 0x02, 0x80, 0x64], 'physical level');
sends(function () { return Global.RequestPhysicalLevel(0x10, 3, 2); },
      [0x5C, 0x10, 0x03, 0x91, 0x02, 0x00, 0x00], 'physical level request');
done();
