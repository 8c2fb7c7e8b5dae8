// The start page after the lighting network's restart request (run_network_restart.sh): the
// fresh Global read the configuration again, kept nothing else of the old one, and still has
// the host's port on the bus, where the dimmer of area 1 answers which preset it is in.
Global.LoadScript('helper', 'helper.js');
assertEqual(Global.Config.StartPage, 'network_restart_second.js');
assert(!Global.UnPersist('network_restart.mark'), 'a persisted object outlived its Global');
assert(Global.BoxNumber !== 7, 'the box number outlived its Global');

var answered = false;
var filter = new ActiveXObject('Brevanto.PacketFilter');
filter.PacketToMatch = [null];
filter.Callbacks.Add(function (pkt) {
    if (pkt.PortNumber === 1 && pkt[0] === 0x1C && pkt[1] === 0x01 && pkt[3] === 0x62)
        answered = true;
});
Global.NetworkHandler.InFilters.Add(filter);
Global.NetworkHandler.SendPacket([0x1C, 0x01, 0x00, 0x63, 0x00, 0x00, 0xFF]);
waitFor(function () { return answered; }, 8000, done, 'the dimmer\'s answer');
