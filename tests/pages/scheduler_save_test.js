// Save writes the schedules and holidays; the next start of the host on the same data directory
// reads them back (tests/pages/scheduler_saved.js checks them).
// data-copy: yes
// next-page: scheduler_saved.js
var scheduler = Global.Scheduler;
var s = new ActiveXObject('Brevanto.Schedule');
s.Name = 'Saved';
s.EventNumber = 9;
s.DayOfWeek = 'weekends';
s.DayOfMonth = '1 15 31';
s.MonthOfYear = 'jan dec';
s.RelativeTo = 'sunrise';
s.Hours = 1;
s.Minutes = -20;
s.Enable = false;
s.Colour = 'teal';
scheduler.Schedules.Add(s);
var h = new ActiveXObject('Brevanto.PublicHoliday');
h.Name = 'Founders Day';
h.Year = 2027;
h.Month = 6;
h.Day = 3;
h.Note = 'half day';
scheduler.PublicHolidays.Add(h);
scheduler.Save();
done();
