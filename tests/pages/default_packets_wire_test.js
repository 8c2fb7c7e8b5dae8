// The default packets on the wire (tests/pages/run_bus_page.sh checks the frames the .bus file
// expects, checksums included; DefaultPacketsTest.EachCallSendsItsFrame has every byte example):
// presets the dimmer takes, a preset request that the area 1 dimmer answers at once, and one to
// area 2, where nobody answers, that goes out three times.
var events = [];
function note(name) {
    Global.RegisterForEvent(name, null, function (p) {
        events.push(name + ' ' + p.Area + ' ' + p.Opcode + (name === 'Preset' ? ' ' + p.Preset : ''));
    });
}
note('Preset');
note('LogicalLevel');

function seen(text) {
    return has(events, text);
}

afterRegistrations(function () {
    Global.RequestCurrentPreset(2, 0xFF, 500);
    Global.SendPreset(1, 0xFF, 5);
    Global.SendPreset(1, 0xFF, 12);
    Global.SendPreset(1, undefined, 2);
    Global.RequestLogicalLevel(1, 0xFF, 1);
    Global.RequestCurrentPreset(1, 0xFF, 500);
    // The dimmer's level report (0x60) and preset report (0x62, preset 2), then the bus's
    // sentinel preset for area 9, which it sends after the area 2 requests are over.
    waitFor(function () {
        return seen('LogicalLevel 1 96') && seen('Preset 1 98 2') && seen('Preset 9 0 1');
    }, 10000, done, 'the dimmer\'s reports and the sentinel');
});
