// Traffic from the bus becomes events (tests/pages/run_bus_page.sh drives the bus from
// decoded_events_test.bus): a preset from another device raises "Preset" with its values and
// still reaches later script filters, a keypad press and release raise "Button", the panel's own
// preset is announced through its feedback copy, a schedule request that no schedule answers
// raises "ScheduledEvent" with its event number and one that a schedule answers triggers that
// schedule (its event comes with the schedule itself), and of two long frames only the one for
// this panel's box arrives. The page's clock starts on a Sunday at noon, a time at which the data
// directory's weekday schedule cannot fall due, so that only the request triggers it.
// host-clock: 2026-03-08 12:00:00
var presets = [], buttons = [], scheduled = [], longFrames = [], filtered = [];
Global.RegisterForEvent('Preset', null, function (p) {
    presets.push(p.Area + ':' + p.Preset + ':' + p.Source);
});
Global.RegisterForEvent('Button', null, function (p) {
    buttons.push(p.Button + ' ' + p.ButtonState);
});
Global.RegisterForEvent('ScheduledEvent', null, function (p) {
    scheduled.push(p.Name === undefined ? p.EventNumber : p.Name);
});

var later = new ActiveXObject('Brevanto.PacketFilter');
later.PacketToMatch = [0x1C, 0x01, null, 0x0B];
later.OnFilterMatches = function (packet) {
    filtered.push(packet.Preset);
    return false;
};
Global.NetworkHandler.InFilters.Add(later);
var long = new ActiveXObject('Brevanto.PacketFilter');
long.PacketToMatch = [0xAC];
long.OnFilterMatches = function (packet) {
    longFrames.push(packet[5]);
    return false;
};
Global.NetworkHandler.InFilters.Add(long);

afterRegistrations(function () {
    Global.SendPreset(1, 0xFF, 3);  // also tells the bus that the page is ready
    waitFor(function () {
        return has(presets, '1:22:1') && buttons.length >= 2 && scheduled.length >= 2 &&
               has(presets, '9:1:1');
    }, 10000, function () {
        assert(has(presets, '1:3:-1'), 'the panel\'s own preset, not from a port: ' + presets);
        assertEqual(filtered.join(','), '22', 'a later script filter saw the decoded preset');
        assertEqual(buttons.join(','), '3 press,3 release', 'the keypad');
        assert(has(scheduled, 238), 'the unanswered schedule request: ' + scheduled);
        assert(has(scheduled, 'Lights out'), 'the schedule the request triggered: ' + scheduled);
        assertEqual(scheduled.length, 2, 'one event per request: ' + scheduled);
        assertEqual(longFrames.join(','), '1', 'only the long frame for box 1');
        done();
    }, 'the events of the bus\'s frames');
});
