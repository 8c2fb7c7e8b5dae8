// The start page of a complete data directory (tests/pages/run_data_dir.sh runs the host with
// --data alone, so that this page runs because Config.xml names it): every setting of the
// directory is in force. The bus side (the fades and the packet delay on the wire) is checked by
// the runner against complete_data_dir.expect; the panel clock starts three seconds before the
// holiday schedule is due, on a public holiday of PublicHolidays.xml.
Global.LoadScript('helper', '../../helper.js');

var config = Global.Config;
var scheduler = Global.Scheduler;
var security = Global.Security;
var backlight = Global.BacklightController;

// [what, value, expected]: the settings as the services hold them.
var settings = [
    ['panel name', config.PanelName, 'Boardroom panel'],
    ['Global.PacketDelay', Global.PacketDelay, 400],
    ['a new packet\'s Delay', new ActiveXObject('Brevanto.Packet').Delay, 400],
    ['city', scheduler.City, 'Perth'],
    ['zone', scheduler.Timezone, 'W. Australia Standard Time'],
    ['holidays', scheduler.PublicHolidays.Count, 2],
    ['schedules', scheduler.Schedules.Count, 2],
    ['users', security.Users.length, 2],
    ['log-out delay', security.AutoLogout, 2],
    ['backlight on level', backlight.OnLevel, 200],
    ['backlight standby level', backlight.StandbyLevel, 7],
    ['backlight delay', backlight.Delay, 10000],
];
for (var i = 0; i < settings.length; i++)
    assertEqual(settings[i][1], settings[i][2], settings[i][0]);

// The place's sun on 21 June by the panel's formulas (Sydney's would be 07:08 and 17:03).
var rise = new Date(2026, 5, 21), set = new Date(2026, 5, 21);
scheduler.SunriseSunsetTimes(new Date(2026, 5, 21), rise, set);
assertEqual(rise.getHours() + ':' + rise.getMinutes(), '6:42', 'sunrise in Perth');
assertEqual(set.getHours() + ':' + set.getMinutes(), '16:47', 'sunset in Perth');

var seen = {};
Global.RegisterForEvent('ScheduledEvent', null, function (schedule) {
    if (schedule.Name !== 'Holiday lights') return;
    seen.schedule = true;
    // The schedule's own member: the preset to recall, with the default fade.
    Global.SendPreset(2, 0xFF, schedule.Preset);
});
Global.RegisterForEvent('AutoLogout', null, function () { seen.logout = true; });
Global.RegisterForEvent('BacklightOff', null, function () { seen.dimmed = backlight.Level; });

afterRegistrations(function () {
    // The default fades and the packet delay on the wire (checked by the runner).
    Global.SendPreset(2, 0xFF, 1);
    Global.SetLogicalLevel(2, 0xFF, undefined, 1, 0x80);
    Global.SetPhysicalLevel(0, 9, undefined, 1, 0x40);

    // A user of Users.xml logs in; the configured log-out delay runs from the countdown's start.
    assertEqual(security.Login('9876'), 1, 'the installer logs in');
    assertEqual(security.CurrentUser, 'installer', 'logged in');
    assertEqual(security.CheckUserLevel(3), 1, 'the installer\'s level of Security.xml');
    security.ResetAutoLogout();
    waitFor(function () { return seen.logout && seen.schedule; }, 15000, function () {
        assertEqual(security.CurrentUser, 'guest', 'logged out after the delay');
        // Nobody touched the screen since the panel started: it dims after its delay.
        waitFor(function () { return seen.dimmed !== undefined; }, 20000, function () {
            assertEqual(seen.dimmed, 7, 'the standby level');
            done();
        }, 'the backlight to dim');
    }, 'the log-out and the holiday schedule');
});
