// The demo panel page: watches the lighting bus, recalls a preset in area 1, asks the dimmer
// there what it is doing, dims the screen and waits for a keypad press, which it takes as a
// touch that brightens the screen again, then closes the host.
// scripts/demo.sh runs it against the virtual bus with a dimmer (area 1, box 1) and a keypad
// (box 2) on it, and presses keypad button 1 a little after the page starts.
var net = Global.NetworkHandler;
var AREA = 1;

function hex(n) {
    return ('0' + (n & 0xFF).toString(16)).slice(-2);
}

// Header fields a packet does not have (Area on a device packet, say) throw: read as undefined.
function field(pkt, name) {
    try {
        return pkt[name];
    } catch (e) {
        return undefined;
    }
}

// What the frames this page deals with mean, for a reader new to the bus.
function meaning(b, logical) {
    if (b.length < 8) return 'part of a frame (' + b.length + ' of 8 bytes)';
    if (logical) {
        var op = b[3];
        if (op <= 0x03) return 'select preset ' + (op + 1 + 8 * b[5]);
        if (op >= 0x0A && op <= 0x0D) return 'select preset ' + (op - 5 + 8 * b[5]);
        if (op === 0x63) return 'which preset is on?';
        if (op === 0x62) return 'preset ' + (b[2] + 1 + b[5]) + ' is on';
        if (op === 0x61) return 'what level is channel ' + (b[2] + 1) + ' at?';
        if (op === 0x60)
            return 'channel ' + (b[2] + 1) + ' is at ' + Math.round((255 - b[5]) * 100 / 255) + '%';
        if (op === 0x48 && b[1] === 1 && b[2] === 3) return 'screen backlight level ' + (255 - b[4]);
        return '';
    }
    if (b[0] === 0x5C && b[1] === 0x02 && b[3] === 0x43)
        return 'keypad ' + b[2] + ' button ' + b[4] + (b[6] ? ' pressed' : ' released');
    if (b[0] === 0x5C && b[1] === 0x01 && b[3] === 0x00) return 'dimmer ' + b[2] + ' signs on';
    return '';
}

function pad(text, width) {
    while (text.length < width) text += ' ';
    return text;
}

var received = [];  // the byte arrays of every packet that came in from the bus

// One line per packet: sent ones come back as a copy that goes nowhere (DestinationPorts 0),
// received ones carry the port they came in on (PortNumber 1).
function show(pkt) {
    var bytes = [];
    for (var i = 0; i < pkt.Count; i++) bytes.push(pkt[i]);
    var incoming = pkt.PortNumber === 1;
    if (incoming) received.push(bytes);
    var logical = field(pkt, 'Logical');
    var area = field(pkt, 'Area'), opcode = field(pkt, 'Opcode');
    var box = field(pkt, 'BoxNumber');
    var header = area !== undefined ? 'area ' + area : box !== undefined ? 'box ' + box : '';
    if (opcode !== undefined) header += ' opcode 0x' + hex(opcode);
    var text = meaning(bytes, logical !== undefined ? !!logical : bytes[0] === 0x1C);
    Global.Log(pad(incoming ? 'received' : 'sent', 10) + pad(bytes.map(hex).join(' '), 26) +
               pad(header, 20) + text);
}

var watch = new ActiveXObject('Brevanto.PacketFilter');
watch.Name = 'demo watch';
watch.PacketToMatch = [null];  // one wildcard byte: every packet matches (an empty pattern none)
watch.Callbacks.Add(show);
net.InFilters.Add(watch);

Global.Log('Brevanto demo panel, box ' + Global.BoxNumber);
Global.Log('Every packet the panel sends or receives is printed as it passes:');
Global.Log(pad('', 10) + pad('bytes (last: checksum)', 26) + pad('header', 20) + 'meaning');

// Logical packets: 1C, area, data, opcode, data, bank, join; SendPacket adds the checksum.
net.SendPacket([0x1C, AREA, 0x64, 0x02, 0x00, 0x00, 0xFF]);  // preset 3, fade byte 0x64

// Which preset is on? Asked with a packet that is also the filter for its reply: it goes out
// again after 100 and 200 ms more while no reply comes, then gives up and calls OnTimeout.
var presetAnswer = '';  // what became of the question
var question = new ActiveXObject('Brevanto.PacketWithResponse');
question.Assign([0x1C, AREA, 0x00, 0x63, 0x00, 0x00, 0xFF]);
question.PacketToMatch = [0x1C, AREA, null, 0x62];  // the dimmer's "preset n is on"
question.OnFilterMatches = function (reply) {
    presetAnswer = 'preset ' + (reply[2] + 1 + reply[5]) + ' is on';
    return false;  // later filters (the watch) still see the reply
};
question.OnTimeout = function (asked) {
    presetAnswer = 'no reply after ' + asked.Retries + ' tries';
};
net.SendPacket(question);
net.SendPacket([0x1C, AREA, 0x00, 0x61, 0x00, 0x00, 0xFF]);  // channel 1 level?

// The screen's backlight dims after a while without touches and brightens on the next one; the
// library announces each switch. A page reports a touch by calling UserActivity (on the panel,
// from its touch handler); here the keypad press stands in for a finger on the screen. The
// level is set with a packet that only this panel's incoming filters see (the watch prints it).
var backlight = Global.BacklightController;
var backlightEvents = [];
function announce(name) {
    return function () {
        backlightEvents.push(name);
        Global.Log(name + ': screen backlight at level ' + backlight.Level);
    };
}
Global.RegisterForEvent('BacklightOn', null, announce('BacklightOn'));
Global.RegisterForEvent('BacklightOff', null, announce('BacklightOff'));
// Once the registrations have taken effect: dim as if nobody had touched the screen for a while.
Global.CreateTimer(function () { backlight.State = false; }, 300).Start();
var touched = false;

function seen(test) {
    for (var i = 0; i < received.length; i++)
        if (test(received[i])) return true;
    return false;
}
function levelReply(b) { return b[0] === 0x1C && b[1] === AREA && b[3] === 0x60; }
function keyPress(b) { return b[0] === 0x5C && b[1] === 0x02 && b[3] === 0x43 && b[6] === 0; }

// A repeating library timer looks ten times a second (at most for ten seconds) for both replies
// and a whole key press, then sums up and closes. Its callback runs on this page's thread and
// gets the timer itself.
var started = Date.now(), checks = 0;
var check = Global.CreateTimer(function (timer) {
    checks++;
    if (seen(keyPress) && backlightEvents.length && !touched) {
        touched = true;
        backlight.UserActivity();  // the touch
    }
    var brightAgain = backlightEvents.join(' ') === 'BacklightOff BacklightOn';
    var all = presetAnswer && seen(levelReply) && seen(keyPress) && brightAgain;
    if (!all && Date.now() - started < 10000) return;
    timer.Cancel();
    Global.Log('');
    Global.Log('the preset question:                      ' + (presetAnswer || 'still waiting'));
    Global.Log('the dimmer answered the level question:   ' + (seen(levelReply) ? 'yes' : 'no'));
    Global.Log('a keypad button was pressed and released: ' + (seen(keyPress) ? 'yes' : 'no'));
    Global.Log('the backlight dimmed and came on again:   ' + (brightAgain ? 'yes' : 'no'));
    Global.Log('the repeating timer looked ' + checks + ' times, every ' + timer.Period + ' ms');
    Global.Log('closing the panel');
    Global.Close();
}, 100);
check.OneShot = 0;
check.Start();
