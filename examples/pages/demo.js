// The demo panel page: shows what a page does with the library, then closes the host.
Global.Log('Brevanto demo panel, box ' + Global.BoxNumber);

var pkt = new ActiveXObject('Brevanto.Packet');
var bytes = [0x05, 0x38, 0x00, 0x01, 0x00, 0x00, 0xff];
for (var i = 0; i < bytes.length; i++) pkt.Add(bytes[i]);
var text = [];
for (var b = 0; b < pkt.Count; b++) text.push(('0' + pkt[b].toString(16)).slice(-2));
Global.Log('a packet of ' + pkt.Count + ' bytes: ' + text.join(' '));

pkt.Room = 'Lounge';
var members = [];
for (var k in pkt) members.push(k);
Global.Log('members a page added: ' + members.join(', '));

try {
    pkt.Remove(99);
} catch (e) {
    Global.Log('the library refused Remove(99) with 0x' + (e.number >>> 0).toString(16));
}

var ticks = 0;
var timer = setInterval(function () {
    Global.Log('tick ' + (++ticks));
    if (ticks === 3) {
        clearInterval(timer);
        Global.Log('closing the panel');
        Global.Close();
    }
}, 200);
