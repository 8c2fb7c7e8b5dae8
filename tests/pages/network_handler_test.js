// A page sends through the network handler: arrays become packets, and every packet sent comes
// back, as a copy, through the handler's InFilters on the page's own thread.
var net = Global.NetworkHandler;
assert(net, 'network handler');
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
done();
