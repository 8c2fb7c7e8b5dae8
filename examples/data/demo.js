// The demo panel's start page (the StartPage of Config.xml). It says what the panel loaded from
// its data directory, prints every packet on the lighting bus with what the panel made of it,
// recalls a preset and sets a channel in area 1, asks the dimmer there which preset is on and how
// bright channel 1 is, runs the evening schedule when it is due, logs the reception user in, lets
// the screen dim after its delay without a touch and takes a keypad press as the touch that
// brightens it again; then it closes the panel.
// scripts/demo.sh runs it against the virtual bus with a dimmer (area 1, box 1) and a keypad
// (box 2) on it, presses keypad button 1 twice (at once, and after the screen has dimmed), and
// starts the panel's clock a few seconds before the schedule "Evening lights" is due.
var net = Global.NetworkHandler;
var config = Global.Config;
var scheduler = Global.Scheduler;
var security = Global.Security;
var backlight = Global.BacklightController;
var AREA = 1;
var RECEPTION_CODE = '2468';  // the reception user's pass code (examples/data/README.md)

function hex(n) {
    return ('0' + (n & 0xFF).toString(16).toUpperCase()).slice(-2);
}
function pad(text, width) {
    while (text.length < width) text += ' ';
    return text;
}
function twoDigits(n) {
    return ('0' + n).slice(-2);
}
function clockTime(date) {
    return twoDigits(date.getHours()) + ':' + twoDigits(date.getMinutes());
}
function seconds(ms) {
    return (ms / 1000).toFixed(1) + ' s';
}
function duration(minutes) {
    var h = Math.floor(minutes / 60), m = minutes % 60;
    return (h ? h + ' h' : '') + (h && m ? ' ' : '') + (m || !h ? m + ' min' : '');
}
function say(text) {
    Global.Log(text);
}

// ---- What the panel loaded ----
var today = new Date();
var sunrise = new Date(today.getTime()), sunset = new Date(today.getTime());
scheduler.SunriseSunsetTimes(today, sunrise, sunset);
say(config.PanelName + ' (box ' + Global.BoxNumber + '), started from its data directory');
say('  lighting bus: ' + Global.PacketDelay + ' ms of silence after each packet; default fades ' +
    seconds(config.DefaultLogicalFade) + ' for channels, ' + seconds(config.DefaultPhysicalFade) +
    ' for physical outputs');
say('  place: ' + scheduler.City + ', ' + scheduler.Country + ' (time zone ' +
    scheduler.Timezone + ')');
say('  panel clock: ' + today.toDateString() + ' ' + clockTime(today) + ':' +
    twoDigits(today.getSeconds()) + '; sunrise ' + clockTime(sunrise) + ', sunset ' +
    clockTime(sunset));
for (var i = 0; i < scheduler.Schedules.Count; i++) {
    var rule = scheduler.Schedules.Item(i);
    var offset = rule.Hours * 60 + rule.Minutes;
    var when = rule.RelativeTo === 'midnight'
                   ? 'at ' + twoDigits(rule.Hours) + ':' + twoDigits(rule.Minutes)
                   : duration(Math.abs(offset)) + (offset < 0 ? ' before ' : ' after ') +
                         rule.RelativeTo;
    say('  schedule "' + rule.Name + '": ' + (rule.DayOfWeek === 'all' ? 'every day' : rule.DayOfWeek) +
        ' ' + when + ', recalls preset ' + rule.Preset + (rule.Enable ? '' : ' (switched off)'));
}
var holidays = [];
var MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];
for (i = 0; i < scheduler.PublicHolidays.Count; i++) {
    var day = scheduler.PublicHolidays.Item(i);
    holidays.push(day.Name + ' (' + day.Day + ' ' + MONTHS[day.Month - 1] +
                  (day.Year ? ' ' + day.Year : '') + ')');
}
say('  public holidays (PH in a schedule): ' + holidays.join(', '));
var users = [];
for (i = 0; i < security.Users.length; i++) users.push(security.Users[i]);
say('  users: ' + users.join(', ') + '; logged out after ' + security.AutoLogout +
    ' s without a touch');
say('  screen: full brightness ' + backlight.OnLevel + ', dims to ' + backlight.StandbyLevel +
    ' after ' + seconds(backlight.Delay) + ' without a touch');

// ---- The traffic: every packet, then what the panel made of it ----
// Received packets carry the port they came in on (PortNumber 1); sent ones come back as a
// copy, so the panel hears its own commands too.
var watch = new ActiveXObject('Brevanto.PacketFilter');
watch.Name = 'demo watch';
watch.PacketToMatch = [null];  // one wildcard byte: every packet matches (an empty pattern none)
watch.Callbacks.Add(function (pkt) {
    var bytes = [];
    for (var i = 0; i < pkt.Count; i++) bytes.push(hex(pkt[i]));
    var screen = pkt[0] === 0x1C && pkt[2] === 0x03 && pkt[3] === 0x48;
    say('  ' + pad(pkt.PortNumber === 1 ? 'received' : screen ? 'screen' : 'sent', 9) +
        bytes.join(' ') + (screen ? '   (the backlight level; never put on the bus)' : ''));
});
net.InFilters.Add(watch);

// The events the panel raises for the packets it recognises, each with the packet: its header
// fields and the named values of its kind. Events have a course of their own, so an event's
// line may come before its packet's.
var heard = {};  // what the page waits for
function on(name, describe) {
    Global.RegisterForEvent(name, null, function (p) {
        var text = describe(p);
        if (text) say('             -> ' + text);
    });
}
on('Preset', function (p) {
    if (p.Opcode === 0x62) {
        heard.preset = 'preset ' + p.Preset + ' is on in area ' + p.Area;
        return 'area ' + p.Area + ' reports: preset ' + p.Preset + ' is on';
    }
    return 'area ' + p.Area + ': recall preset ' + p.Preset;
});
on('LogicalLevel', function (p) {
    if (p.Opcode === 0x60) {
        heard.level = 'channel ' + p.Channel + ' is at level ' + p.CurrentLevel;
        return 'area ' + p.Area + ' reports: channel ' + p.Channel + ' is at level ' +
               p.CurrentLevel + ' of 255';
    }
    return 'area ' + p.Area + ': channel ' + p.Channel + ' to level ' + p.Level + ' of 255';
});
on('PhysicalLevel', function (p) {
    return 'box ' + p.BoxNumber + ' output ' + p.Channel + ' to level ' + p.Level + ' of 255';
});
var presses = 0;
on('Button', function (p) {
    if (p.ButtonState === 'release') {
        presses++;
        heard.button = 'button ' + p.Button + ' of keypad box ' + p.BoxNumber;
    }
    return 'keypad box ' + p.BoxNumber + ': button ' + p.Button + ' ' +
           (p.ButtonState === 'release' ? 'released' : 'pressed');
});
on('SignOn', function (p) {
    return 'box ' + p.BoxNumber + ' signs on (firmware ' + p.VersionHi + '.' + p.VersionLo + ')';
});
on('Panic', function (p) { return 'panic ' + (p.State ? 'on' : 'off'); });
on('Reset', function (p) { return 'box ' + p.BoxNumber + ' resets'; });

// "ScheduledEvent" comes with the schedule that is due (or, for a request from the network that
// no schedule answers, with the packet and its EventNumber).
Global.RegisterForEvent('ScheduledEvent', null, function (p) {
    if (p.EventNumber !== undefined && p.Name === undefined) {
        say('             -> the network asks for schedule event ' + p.EventNumber);
        return;
    }
    heard.schedule = '"' + p.Name + '" ran at ' + clockTime(new Date());
    say('schedule "' + p.Name + '" is due: recalling preset ' + p.Preset + ' in area ' + AREA);
    Global.SendPreset(AREA, 0xFF, p.Preset);
    // Someone comes to the panel and logs in.
    var ok = security.Login(RECEPTION_CODE);
    heard.login = ok ? security.CurrentUser : '';
});
Global.RegisterForEvent('UserChanged', null, function () {
    say('log-in: ' + security.CurrentUser + ' is logged in (security level 1: ' +
        (security.CheckUserLevel(1) ? 'yes' : 'no') + ', administrator: ' +
        (security.IsAdmin() ? 'yes' : 'no') + ')');
});

// The screen dims after its delay without a touch and brightens on the next touch; the panel
// announces each switch. A page reports a touch by calling UserActivity (on the panel, from its
// touch handler); here a keypad press after the screen dimmed stands in for a finger on it.
var backlightEvents = [];
function announce(name, words) {
    return function () {
        backlightEvents.push(name);
        say('screen ' + words + ': backlight at level ' + backlight.Level);
    };
}
Global.RegisterForEvent('BacklightOn', null, announce('BacklightOn', 'touched'));
Global.RegisterForEvent('BacklightOff', null,
                        announce('BacklightOff', 'not touched for ' + seconds(backlight.Delay)));
var pressesWhenDimmed = -1;

function talk() {
    say('');
    say('Lighting bus traffic (each packet as it went by, then what the panel made of it):');
    Global.SendPreset(AREA, 0xFF, 3);                   // preset 3 with the default fade
    Global.SetLogicalLevel(AREA, 0xFF, 1000, 2, 200);   // channel 2 to 200 over a second
    Global.RequestLogicalLevel(AREA, 0xFF, 1);          // how bright is channel 1?
    // Which preset is on? Asked again after 100 and 200 ms more while no reply comes.
    Global.RequestCurrentPreset(AREA, 0xFF, 100);
}

// Event registrations take effect on the event thread a moment later: the page starts talking
// once they are live, so that it hears the events of its own commands too.
var live = false;
Global.RegisterForEvent('DemoReady', null, function () { live = true; });

// A repeating timer looks ten times a second (at most for 25 seconds) for what the demo waits
// for, then sums up and closes.
var started = Date.now(), talking = false;
var check = Global.CreateTimer(function (timer) {
    if (!talking) {
        if (!live) return Global.RaiseEvent('DemoReady', {});
        talking = true;
        talk();
    }
    if (backlightEvents.length === 1 && pressesWhenDimmed < 0) pressesWhenDimmed = presses;
    if (pressesWhenDimmed >= 0 && presses > pressesWhenDimmed && backlightEvents.length === 1)
        backlight.UserActivity();  // the touch
    var brightAgain = backlightEvents.join(' ') === 'BacklightOff BacklightOn';
    var all = heard.preset && heard.level && heard.button && heard.schedule && heard.login &&
              brightAgain;
    if (!all && Date.now() - started < 25000) return;
    timer.Cancel();
    say('');
    say('What happened:');
    say('  asked which preset is on:   ' + (heard.preset || 'no reply'));
    say('  asked for channel 1:        ' + (heard.level || 'no reply'));
    say('  keypad:                     ' + (heard.button ? heard.button + ' pressed and released'
                                                         : 'no key press'));
    say('  schedule:                   ' + (heard.schedule || 'not due while the demo ran'));
    say('  log-in:                     ' + (heard.login ? heard.login + ' logged in'
                                                        : 'refused'));
    say('  screen:                     ' + (brightAgain ? 'dimmed, and brightened on a touch'
                                                        : 'did not dim and brighten'));
    say('closing the panel');
    Global.Close();
}, 100);
check.OneShot = 0;
check.Start();
