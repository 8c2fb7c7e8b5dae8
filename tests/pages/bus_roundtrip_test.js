// Round trip through the virtual bus (tests/pages/run_bus_page.sh): a dimmer in area 1 answers
// the page's preset question, and a frame of area 7 from elsewhere on the bus reaches the page.
var net = Global.NetworkHandler;

var PRESET_3 = [0x1C, 0x01, 0x00, 0x02, 0x00, 0x00, 0xFF];
var WHICH_PRESET = [0x1C, 0x01, 0x00, 0x63, 0x00, 0x00, 0xFF];

var seen = [];          // every packet the filter passed to its callback, in order
var holding = false;    // the script thread is busy in a loop of its own
var calledWhileHolding = false;
var filter = new ActiveXObject('Brevanto.PacketFilter');
filter.PacketToMatch = [null];  // a wildcard: every packet
filter.Callbacks.Add(function (pkt) {
    if (holding) calledWhileHolding = true;
    seen.push({bytes: bytesOf(pkt), port: pkt.PortNumber});
});
net.InFilters.Add(filter);

function received(test) {
    for (var i = 0; i < seen.length; i++)
        if (seen[i].port === 1 && test(seen[i].bytes)) return seen[i];
    return null;
}

// The feedback copies pass the filter at once (network_handler_test.js); here they must not
// claim to come from the port.
net.SendPacket(PRESET_3);
net.SendPacket(WHICH_PRESET);
assertEqual(seen.length, 2, 'the feedback copies');
assert(seen[0].port !== 1 && seen[1].port !== 1, 'a feedback copy claims to come from the port');

// Keep the script thread busy while the dimmer answers: a packet that arrives meanwhile must
// wait for the thread to be free, since callbacks run on it.
holding = true;
var until = Date.now() + 400;
while (Date.now() < until) {}
holding = false;
assert(!calledWhileHolding, 'a callback ran while the script thread was busy elsewhere');

function dimmerReply(b) {
    return b.length === 8 && b[0] === 0x1C && b[1] === 0x01 && b[3] === 0x62;
}
function otherFrame(b) {
    return b.length === 8 && b[0] === 0x1C && b[1] === 0x07 && b[3] === 0x48;
}

waitFor(function () { return received(dimmerReply) && received(otherFrame); }, 8000, function () {
    var reply = received(dimmerReply).bytes;
    // The preset index (preset 3 is index 2) shows the dimmer took the page's preset frame.
    assertEqual(reply[2] + reply[5], 2, 'the dimmer reports the preset the page selected');
    assertEqual(reply[7], withChecksum(reply)[7], 'reply checksum');
    var other = received(otherFrame).bytes;
    assertEqual(other[7], withChecksum(other)[7], 'frame from elsewhere, checksum');
    assert(!received(function (b) { return b.join() === withChecksum(PRESET_3).join(); }),
           'the panel\'s own preset frame came back as a received packet');
    assert(!received(function (b) { return b.join() === withChecksum(WHICH_PRESET).join(); }),
           'the panel\'s own question came back as a received packet');
    done();
}, 'the dimmer\'s reply and the frame from elsewhere');
