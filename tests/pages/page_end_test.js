// A page may keep what library objects embed (a filter's Callbacks collection) in its own
// variables: ending the page (Restart, GoToPage, Global.Close()) releases them before the
// objects that embed them break their cycles. Load 1 restarts, load 2 goes to this page again
// (without the helper), load 3 closes.
var state = Global.UnPersist('page_end_test.loads');
if (!state) {
    state = new ActiveXObject('Brevanto.Packet');
    Global.Persist('page_end_test.loads', state);
}
state.Add(0);
var load = state.Count;

var filter = new ActiveXObject('Brevanto.PacketFilter');
var callbacks = filter.Callbacks;
callbacks.Add(function () {});
filter.PacketToMatch = [0x1C];
Global.NetworkHandler.InFilters.Add(filter);
var other = new ActiveXObject('Brevanto.PacketFilter').Callbacks;

Global.Log('load ' + load);
if (load == 1) {
    Global.Restart();
} else if (load == 2) {
    Global.GoToPage('page_end_test.js');
} else {
    Global.Log('PASS');
    Global.Close();
}
