// The scheduler as a page sees it: the sun's times set on the engine's own Date objects, a
// schedule an hour before sunset that fires a few seconds after the clock starts (its handler
// reads the schedule's name and a member the page added), Trigger on a disabled one, and the
// panel clock set from the page. The place is the demo data directory's (data/demo: Sydney).
// host-clock: 2026-06-21 16:02:52
// host-env: TZ=Australia/Sydney
// expect-output: Schedule Evening test must wait 72181 seconds to run
var scheduler = Global.Scheduler;
var now = new Date();
assertEqual(now.getFullYear() * 10000 + (now.getMonth() + 1) * 100 + now.getDate(), 20260621,
            'the page runs on the panel clock');
assertEqual(now.getHours(), 16, 'the hour of the panel clock');
assertEqual(scheduler.Locale, 'Sydney', 'locale of Config.xml');

var rise = new Date(2026, 5, 21, 0, 0, 30), set = new Date(2026, 5, 21, 0, 0, 30);
scheduler.SunriseSunsetTimes(new Date(2026, 5, 21), rise, set);
assertEqual(rise.getHours() + ':' + rise.getMinutes(), '7:8', 'sunrise');
assertEqual(set.getHours() + ':' + set.getMinutes(), '17:3', 'sunset');
// Any object with a Date's getters is a day; 31 April is none, so both times are hour and
// minute -1: 22:59 of the day before the one the objects held.
function returns(value) { return function () { return value; }; }
var april31 = { getDate: returns(31), getMonth: returns(3), getFullYear: returns(2026),
                getHours: returns(0), getMinutes: returns(0), getSeconds: returns(0),
                getMilliseconds: returns(0) };
scheduler.SunriseSunsetTimes(april31, rise, set);
assertEqual(rise.getDate() + ' ' + rise.getHours() + ':' + rise.getMinutes() + ' ' +
            set.getDate() + ' ' + set.getHours() + ':' + set.getMinutes(), '20 22:59 20 22:59',
            'no sun on a day that does not exist');
function sunOf(day) {
    scheduler.SunriseSunsetTimes(day, rise, set);
    return rise.getHours() + ':' + rise.getMinutes() + ' ' + set.getHours() + ':' + set.getMinutes();
}
assertEqual(sunOf(new Date(1850, 2, 20, 0, 0, 0, 500)), sunOf(new Date(1850, 2, 20)),
            'a day before 1900 is the same day whatever its milliseconds');

var s = new ActiveXObject('Brevanto.Schedule');
s.Name = 'Evening test';
s.DayOfWeek = 'Mon, wed fri sun';
s.DayOfMonth = 'all';
s.MonthOfYear = 'all';
s.RelativeTo = 'ss';
s.Hours = -1;
s.EventNumber = 42;
s.Colour = 'amber';
s.Enable = true;

var added = 0;  // when the schedule joined the collection (page time, which runs as fast)
var triggered = null;
var fired = null;
Global.RegisterForEvent('ScheduledEvent', null, function (schedule) {
    if (schedule.Name === 'Trigger test') triggered = schedule;
    if (schedule.Name !== 'Evening test') return;
    fired = { name: schedule.Name, colour: schedule.Colour, same: schedule === s,
              after: Date.now() - added };
});

var off = new ActiveXObject('Brevanto.Schedule');
off.Name = 'Trigger test';
// Fires whatever its rule and Enable say. Triggered until the handler sees it: the handler's
// registration takes effect on the event thread, maybe after the first raise.
waitFor(function () {
    if (triggered === null) off.Trigger();
    return triggered !== null;
}, 5000, function () {
    added = Date.now();
    scheduler.Schedules.Add(s);  // due at 16:03:01, some 9 s after the clock started
    waitFor(function () { return fired !== null; }, 10000, function () {
        assertEqual(fired.name, 'Evening test', 'the schedule raised the event');
        assertEqual(fired.colour, 'amber', 'a member the page added');
        assert(fired.same, 'the very object');
        assert(fired.after > 4000, 'not before its moment (' + fired.after + ' ms)');
        // With --clock the host sets the panel's own clock, and every schedule is computed
        // again: from 20:00 the evening schedule is tomorrow at 16:03:01.
        Global.SetLocalTime(new Date(2026, 5, 21, 20, 0, 0));
        assertEqual(new Date().getHours(), 20, 'the page reads the clock that was set');
        // A year before any a calendar time holds sets nothing.
        var far = { getFullYear: returns(-2147483648), getMonth: returns(0), getDate: returns(1),
                    getHours: returns(0), getMinutes: returns(0), getSeconds: returns(0) };
        assertThrows(function () { Global.SetLocalTime(far); }, 0x80070057, 'the lowest year');
        // Nor does one past what the panel's clock counts (nanoseconds from 1970, to 2262).
        assertThrows(function () { Global.SetLocalTime(new Date(2300, 0, 1)); }, 0x80070057,
                     'the year 2300');
        assertEqual(new Date().getHours(), 20, 'the clock stays');
        done();
    }, 'the evening schedule');
}, 'the triggered schedule');
