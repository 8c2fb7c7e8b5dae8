// An arm command and then a shut-down command for this panel's box (network_shutdown_test.bus)
// end the host with status 0; the page itself never closes it.
Global.Log('box ' + Global.BoxNumber);
Global.SendPreset(1, 0xFF, 1);  // tells the bus that the page is ready
