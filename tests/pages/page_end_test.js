// A page's life over five loads of this page: load 1 restarts, loads 2 to 4 go to this page
// again (without the helper), load 5 tries pages that cannot be read and closes.
// expect-output: cannot read script file /dev/zero: not a regular file (the panel stays on the current page)
// expect-output: cannot read script file /: it is a directory (the panel stays on the current page)
// expect-output: no_such_page.js: No such file or directory (the panel stays on the current page)
var state = Global.UnPersist('page_end_test.loads');
if (!state) {
    state = new ActiveXObject('Brevanto.Packet');
    Global.Persist('page_end_test.loads', state);
}
state.Add(0);
var load = state.Count;
Global.Log('load ' + load);

// A page may keep what library objects embed (a filter's Callbacks collection) in its own
// variables: ending the page releases them before the objects that embed them break their cycles.
var filter = new ActiveXObject('Brevanto.PacketFilter');
var callbacks = filter.Callbacks;
callbacks.Add(function () {});
filter.PacketToMatch = [0x1C];
Global.NetworkHandler.InFilters.Add(filter);
var other = new ActiveXObject('Brevanto.PacketFilter').Callbacks;

// Objects in the host's persistence store outlive pages. An object that leaves the store
// (another object persisted under its name, or nothing) has its reference cycles broken once no
// page holds it, unless it is still persisted under another name; what is left at exit is
// broken too. Each load persists a new filter under one name (the address sanitizer's leak
// check sees the filters whose cycles were never broken).
var previous = Global.UnPersist('page_end_test.filter');
var kept = Global.UnPersist('page_end_test.kept');
if (load > 1) {
    if (!previous || previous.Name != 'filter ' + (load - 1)) throw new Error('the last filter');
    // Still persisted under a second name after its first name was given to another filter.
    if (!kept || kept.Name != 'filter 1') throw new Error('the filter kept under two names');
}
var persisted = new ActiveXObject('Brevanto.PacketFilter');
persisted.Name = 'filter ' + load;
persisted.Callbacks.Add(function () {});
Global.Persist('page_end_test.filter', persisted);
if (load == 1) Global.Persist('page_end_test.kept', persisted);
Global.Persist('page_end_test.dropped', new ActiveXObject('Brevanto.PacketFilter'));
Global.Persist('page_end_test.dropped', null);
if (Global.UnPersist('page_end_test.dropped')) throw new Error('nothing under that name');

if (load == 1) {
    Global.Restart();
} else if (load < 5) {
    Global.GoToPage('page_end_test.js');
} else {
    // A page that cannot be read leaves the panel on this page. Switching pages happens between
    // timer passes, so a timer set with the request runs after the host has dealt with it.
    var unreadable = ['/dev/zero', '/', 'no_such_page.js'];
    (function next() {
        if (unreadable.length == 0) {
            Global.Log('PASS');
            return Global.Close();
        }
        Global.GoToPage(unreadable.shift());
        setTimeout(next, 0);
    })();
}
