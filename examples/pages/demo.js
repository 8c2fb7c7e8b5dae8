// The demo panel page: prints every packet on the lighting bus and the events the library
// decodes from them, recalls a preset and sets a channel in area 1, asks the dimmer there which
// preset is on and how bright channel 1 is, shows the place and the sun's times of the
// scheduler, dims the screen's backlight, and waits for a keypad press (which it takes as a touch
// that brightens the screen again) and for the evening schedule to fire; then it closes the host.
// scripts/demo.sh runs it against the virtual bus with a dimmer (area 1, box 1) and a keypad
// (box 2) on it, presses keypad button 1 a little after the page starts, and starts the panel's
// clock a few seconds before the schedule "Evening lights" (an hour before sunset) is due.
var net = Global.NetworkHandler;
var AREA = 1;

function hex(n) {
    return ('0' + (n & 0xFF).toString(16)).slice(-2);
}
function pad(text, width) {
    while (text.length < width) text += ' ';
    return text;
}

// The raw traffic, one line per packet: received ones carry the port they came in on
// (PortNumber 1); sent ones come back as a copy, so the panel hears its own commands too.
var watch = new ActiveXObject('Brevanto.PacketFilter');
watch.Name = 'demo watch';
watch.PacketToMatch = [null];  // one wildcard byte: every packet matches (an empty pattern none)
watch.Callbacks.Add(function (pkt) {
    var bytes = [];
    for (var i = 0; i < pkt.Count; i++) bytes.push(hex(pkt[i]));
    Global.Log(pad(pkt.PortNumber === 1 ? 'received' : 'sent', 10) + bytes.join(' '));
});
net.InFilters.Add(watch);

// The events the library raises for the packets it recognises, each with the packet object:
// its typed header fields and the named values of its kind. Events are delivered on their own
// course, so an event's line may come before the line of its packet.
var heard = {};  // what the page waits for
function on(name, describe) {
    Global.RegisterForEvent(name, null, function (p) {
        Global.Log(pad('', 10) + pad('-> ' + name, 18) + describe(p));
    });
}
on('Preset', function (p) {
    if (p.Opcode === 0x62) heard.preset = 'preset ' + p.Preset + ' is on in area ' + p.Area;
    return 'area ' + p.Area + ' join ' + p.Join + ': preset ' + p.Preset +
           (p.Opcode === 0x62 ? ' is on' : ' selected') + ' (source ' + p.Source + ')';
});
on('LogicalLevel', function (p) {
    if (p.Opcode === 0x60) heard.level = 'channel ' + p.Channel + ' is at ' + p.CurrentLevel;
    return 'area ' + p.Area + ' channel ' + p.Channel + ': level ' + p.Level + ' (now ' +
           p.CurrentLevel + ')';
});
on('PhysicalLevel', function (p) {
    return 'box ' + p.BoxNumber + ' channel ' + p.Channel + ': level ' + p.Level;
});
on('Button', function (p) {
    if (p.ButtonState === 'release') heard.button = 'button ' + p.Button + ' of box ' + p.BoxNumber;
    return 'box ' + p.BoxNumber + ' button ' + p.Button + ' ' + p.ButtonState;
});
on('SignOn', function (p) {
    return 'box ' + p.BoxNumber + ' signs on, version ' + p.VersionHi + '.' + p.VersionLo;
});
on('Panic', function (p) { return 'panic ' + (p.State ? 'on' : 'off'); });
on('Reset', function (p) { return 'box ' + p.BoxNumber + ' resets'; });

Global.Log('Brevanto demo panel, box ' + Global.BoxNumber);

// The scheduler: the place of the locale file that Config.xml names, the sun's times today, and
// the schedules and holidays of Schedules.xml and PublicHolidays.xml.
var scheduler = Global.Scheduler;
function twoDigits(n) {
    return ('0' + n).slice(-2);
}
function clockTime(date) {
    return twoDigits(date.getHours()) + ':' + twoDigits(date.getMinutes());
}
var today = new Date();
var sunrise = new Date(today.getTime()), sunset = new Date(today.getTime());
scheduler.SunriseSunsetTimes(today, sunrise, sunset);
Global.Log('place: ' + scheduler.City + ', ' + scheduler.Country + ' (' + scheduler.Timezone + ')');
Global.Log('panel clock: ' + today.toDateString() + ' ' + clockTime(today) + ':' +
           twoDigits(today.getSeconds()) + '; sunrise ' + clockTime(sunrise) + ', sunset ' +
           clockTime(sunset));
for (var i = 0; i < scheduler.Schedules.Count; i++) {
    var rule = scheduler.Schedules.Item(i);
    var offset = rule.Hours * 60 + rule.Minutes;
    Global.Log('schedule "' + rule.Name + '": ' + rule.DayOfWeek + ', ' +
               (offset < 0 ? '-' : '+') + Math.abs(offset) + ' min from ' + rule.RelativeTo +
               ', recalls preset ' + rule.Preset);
}
Global.Log(scheduler.PublicHolidays.Count + ' public holidays');

// "ScheduledEvent" comes with the schedule that ran (or, for a request from the network that
// no schedule answers, with the packet and its EventNumber).
Global.RegisterForEvent('ScheduledEvent', null, function (p) {
    if (p.EventNumber !== undefined && p.Name === undefined) {
        Global.Log(pad('', 10) + pad('-> ScheduledEvent', 18) + 'event number ' + p.EventNumber);
        return;
    }
    heard.schedule = '"' + p.Name + '" at ' + clockTime(new Date());
    Global.Log('ScheduledEvent: "' + p.Name + '", recalling preset ' + p.Preset);
    Global.SendPreset(AREA, 0xFF, p.Preset);
});

Global.Log('');
Global.Log('Every packet the panel sends or receives, and the events decoded from it:');

// The screen's backlight dims after a while without touches and brightens on the next one; the
// library announces each switch. A page reports a touch by calling UserActivity (on the panel,
// from its touch handler); here the keypad press stands in for a finger on the screen. The
// level is set with a packet that only this panel's incoming filters see (the watch prints it).
var backlight = Global.BacklightController;
var backlightEvents = [];
function announce(name) {
    return function () {
        backlightEvents.push(name);
        Global.Log(name + ': screen backlight at level ' + backlight.Level);
    };
}
Global.RegisterForEvent('BacklightOn', null, announce('BacklightOn'));
Global.RegisterForEvent('BacklightOff', null, announce('BacklightOff'));
// Once the registrations have taken effect: dim as if nobody had touched the screen for a while.
Global.CreateTimer(function () { backlight.State = false; }, 300).Start();
var touched = false;

function talk() {
    Global.SendPreset(AREA, 0xFF, 3);              // preset 3 with the default fade
    Global.SetLogicalLevel(AREA, 0xFF, 1000, 2, 200);  // channel 2 to 200 over a second
    Global.RequestLogicalLevel(AREA, 0xFF, 1);     // how bright is channel 1?
    // Which preset is on? Asked again after 100 and 200 ms more while no reply comes.
    Global.RequestCurrentPreset(AREA, 0xFF, 100);
}

// Event registrations take effect on the event thread a moment later: the page starts talking
// once they are live, so that it hears the events of its own commands too.
var live = false;
Global.RegisterForEvent('DemoReady', null, function () { live = true; });

// A repeating library timer looks ten times a second (at most for fifteen seconds) for the two
// replies, a whole key press and the schedule, then sums up and closes. Its callback runs on this page's
// thread and gets the timer itself.
var started = Date.now(), talking = false;
var check = Global.CreateTimer(function (timer) {
    if (!talking) {
        if (!live) return Global.RaiseEvent('DemoReady', {});
        talking = true;
        talk();
    }
    if (heard.button && backlightEvents.length && !touched) {
        touched = true;
        backlight.UserActivity();  // the touch
    }
    var brightAgain = backlightEvents.join(' ') === 'BacklightOff BacklightOn';
    var all = heard.preset && heard.level && heard.button && heard.schedule && brightAgain;
    if (!all && Date.now() - started < 15000) return;
    timer.Cancel();
    Global.Log('');
    Global.Log('the preset question:  ' + (heard.preset || 'no reply'));
    Global.Log('the level question:   ' + (heard.level || 'no reply'));
    Global.Log('the keypad:           ' + (heard.button ? heard.button + ' pressed and released'
                                                        : 'no key press'));
    Global.Log('the schedule:         ' + (heard.schedule ? heard.schedule + ' it ran' : 'did not run'));
    Global.Log('the backlight:        ' + (brightAgain ? 'dimmed and came on again' : 'did not switch'));
    Global.Log('closing the panel');
    Global.Close();
}, 100);
check.OneShot = 0;
check.Start();
