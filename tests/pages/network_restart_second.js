// The start page after the lighting network's restart request (run_network_restart.sh): the
// fresh Global read the configuration again, and kept nothing of the old one.
Global.LoadScript('helper', 'helper.js');
assertEqual(Global.Config.StartPage, 'network_restart_second.js');
assert(!Global.UnPersist('network_restart.mark'), 'a persisted object outlived its Global');
assert(Global.BoxNumber !== 7, 'the box number outlived its Global');
done();
