// Objects in the host's persistence store outlive pages. An object that leaves the store
// (another object persisted under its name, or nothing) has its reference cycles broken once no
// page holds it, unless it is still persisted under another name; what is left at exit is
// broken too. This page loads itself five times, persisting a new filter under one name each
// time (the address sanitizer's leak check sees the filters whose cycles were never broken).
var state = Global.UnPersist('persistence_test.loads');
if (!state) {
    state = new ActiveXObject('Brevanto.Packet');
    Global.Persist('persistence_test.loads', state);
}
state.Add(0);
var load = state.Count;

var previous = Global.UnPersist('persistence_test.filter');
var kept = Global.UnPersist('persistence_test.kept');
if (load > 1) {
    if (!previous || previous.Name != 'filter ' + (load - 1)) throw new Error('the last filter');
    // Still persisted under a second name after its first name was given to another filter.
    if (!kept || kept.Name != 'filter 1') throw new Error('the filter kept under two names');
}
var filter = new ActiveXObject('Brevanto.PacketFilter');
filter.Name = 'filter ' + load;
filter.Callbacks.Add(function () {});
Global.Persist('persistence_test.filter', filter);
if (load == 1) Global.Persist('persistence_test.kept', filter);
Global.Persist('persistence_test.dropped', new ActiveXObject('Brevanto.PacketFilter'));
Global.Persist('persistence_test.dropped', null);
if (Global.UnPersist('persistence_test.dropped')) throw new Error('nothing under that name');

if (load < 5) {
    Global.GoToPage('persistence_test.js');
} else {
    Global.Log('PASS');
    Global.Close();
}
