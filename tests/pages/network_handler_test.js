// The default packets as a page calls them, Global's methods also read as function objects and
// with arguments left out, null or text: each call hands one frame to the network handler, where
// an outgoing filter sees it (and consumes it, so nothing reaches the port). The data directory
// sets both default fades to 2000 ms.
var sent = [];
var outgoing = new ActiveXObject('Brevanto.PacketFilter');
outgoing.PacketToMatch = [null];
outgoing.OnFilterMatches = function (packet) {
    sent.push(bytesOf(packet));
    return true;
};
Global.NetworkHandler.OutFilters.Add(outgoing);

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
