// The first start page of a panel that the lighting network restarts (run_network_restart.sh).
// Its first run marks the Global and starts again with Global.Restart, which keeps the Global;
// its second run arms the panel for its box, so that the network's restart request follows
// thirty seconds later.
Global.LoadScript('helper', 'helper.js');
if (!Global.UnPersist('network_restart.mark')) {
    Global.BoxNumber = 7;
    Global.Persist('network_restart.mark', new ActiveXObject('Brevanto.Packet'));
    Global.Restart();
} else {
    assertEqual(Global.BoxNumber, 7, 'the box number after Global.Restart');
    // The frame's own copy passes the incoming default filter as a received one would.
    Global.NetworkHandler.SendPacket([0x5C, 0x01, 0x07, 0x01, 0x3E, 0x01, 0x00]);
    Global.Log('armed');
}
