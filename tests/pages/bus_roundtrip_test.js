// Round trip through the virtual bus (tests/pages/run_bus_page.sh): a dimmer in area 1 answers
// the page's preset question, and a frame of area 7 from elsewhere on the bus reaches the page.
var net = Global.NetworkHandler;

var PRESET_3 = [0x1C, 0x01, 0x00, 0x02, 0x00, 0x00, 0xFF];
var WHICH_PRESET = [0x1C, 0x01, 0x00, 0x63, 0x00, 0x00, 0xFF];

function checksum(seven) {
    var sum = 0;
    for (var i = 0; i < 7; i++) sum += seven[i];
    return (0x100 - (sum & 0xFF)) & 0xFF;
}
function sameBytes(a, b) {
    if (a.length !== b.length) return false;
    for (var i = 0; i < a.length; i++)
        if (a[i] !== b[i]) return false;
    return true;
}
function framed(seven) {
    return seven.concat([checksum(seven)]);
}

var seen = [];          // every packet the filter passed to its callback, in order
var holding = false;    // the script thread is busy in a loop of its own
var calledWhileHolding = false;
var filter = new ActiveXObject('Brevanto.PacketFilter');
filter.PacketToMatch = [null];  // a wildcard: every packet
filter.Callbacks.Add(function (pkt) {
    if (holding) calledWhileHolding = true;
    var bytes = [];
    for (var i = 0; i < pkt.Count; i++) bytes.push(pkt[i]);
    seen.push({bytes: bytes, port: pkt.PortNumber, destinations: pkt.DestinationPorts});
});
net.InFilters.Add(filter);

function received(test) {
    for (var i = 0; i < seen.length; i++)
        if (seen[i].port === 1 && test(seen[i].bytes)) return seen[i];
    return null;
}

net.SendPacket(PRESET_3);
assertEqual(seen.length, 1, 'the feedback copy of the preset passed the filter at once');
assert(sameBytes(seen[0].bytes, framed(PRESET_3)), 'feedback copy is the framed preset');
assertEqual(seen[0].destinations, 0, 'the feedback copy goes nowhere');
assert(seen[0].port !== 1, 'the feedback copy does not claim to come from the port');

net.SendPacket(WHICH_PRESET);
assertEqual(seen.length, 2, 'the feedback copy of the question');

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
    assertEqual(reply[7], checksum(reply), 'reply checksum');
    var other = received(otherFrame).bytes;
    assertEqual(other[7], checksum(other), 'frame from elsewhere, checksum');
    assert(!received(function (b) { return sameBytes(b, framed(PRESET_3)); }),
           'the panel\'s own preset frame came back as a received packet');
    assert(!received(function (b) { return sameBytes(b, framed(WHICH_PRESET)); }),
           'the panel\'s own question came back as a received packet');
    done();
}, 'the dimmer\'s reply and the frame from elsewhere');
