// Packets with response over the virtual bus (tests/pages/run_bus_page.sh): the dimmer of area 1
// answers the question for its current preset; nobody answers in area 9.
var net = Global.NetworkHandler;

function presetQuestion(area) {
    var p = new ActiveXObject('Brevanto.PacketWithResponse');
    var bytes = withChecksum([0x1C, area, 0x00, 0x63, 0x00, 0x00, 0xFF]);
    p.Assign([0, 0, 0, 0, 0, 0, 0, 0]);
    // Written byte by byte through their index names, as on a Packet, checksum included.
    for (var i = 0; i < 8; i++) p[i] = bytes[i];
    p.PacketToMatch = [0x1C, area, null, 0x62];
    return p;
}

// Asked of the dimmer: one reply, no time-out.
var asked = presetQuestion(1);
assertEqual(bytesOf(asked).join(), [0x1C, 1, 0, 0x63, 0, 0, 0xFF, 0x81].join(), 'bytes by name');
var replies = [];
var askedTimeouts = 0;
asked.OnFilterMatches = function (reply) {
    assert(this === asked, '`this` is the packet with response');
    replies.push(bytesOf(reply));
    return true;
};
asked.OnTimeout = function () { askedTimeouts++; };
assertEqual(net.SendPacket(asked), 0, 'sent');

// Asked of an area nobody is in: OnTimeout once, with the object as argument and `this`.
var lonely = presetQuestion(9);
var timeouts = [];
var lonelyMatches = 0;
var sentAs = [];  // what PacketSent got, once per transmission
lonely.OnFilterMatches = function () { lonelyMatches++; };
lonely.PacketSent = function (p) {
    sentAs.push(p);
    assertEqual(p[1], 9, 'byte names in a callback');
};
lonely.OnTimeout = function (p) {
    timeouts.push({argument: p, self: this});
    Global.Log('OnTimeout ' + (Date.now() - lonelySent) + ' ms after SendPacket');
};
var lonelySent = Date.now();
net.SendPacket(lonely);

// Still waiting when the page closes: the host must end cleanly, without calling it.
var pending = presetQuestion(9);
pending.Timeout = 5000;
pending.OnTimeout = function () { fail('OnTimeout after the page ended'); };
net.SendPacket(pending);

waitFor(function () { return replies.length >= 1 && timeouts.length >= 1; }, 8000, function () {
    assertEqual(replies.length, 1, 'one reply');
    var reply = replies[0];
    assertEqual(reply.length, 8, 'reply length');
    assertEqual(reply[3], 0x62, 'the preset report');
    assertEqual(askedTimeouts, 0, 'no time-out for the answered question');
    assertEqual(timeouts.length, 1, 'one time-out');
    assert(timeouts[0].argument === lonely, 'the object is the argument');
    assert(timeouts[0].self === lonely, 'the object is `this`');
    assertEqual(lonelyMatches, 0, 'no reply in area 9');
    assertEqual(sentAs.length, 3, 'PacketSent once per transmission');
    for (var i = 0; i < sentAs.length; i++)
        assert(sentAs[i] === lonely, 'PacketSent gets the object itself');
    done();
}, 'the reply from area 1 and the time-out in area 9');
