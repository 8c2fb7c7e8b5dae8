// What both pages of the example panel share: the area they control, the clock line, the
// persisted page-visit counter and touches that keep the backlight on.
var AREA = 1;

function $(id) {
    return document.getElementById(id);
}
function twoDigits(n) {
    return ('0' + n).slice(-2);
}
function clockTime(date) {
    return twoDigits(date.getHours()) + ':' + twoDigits(date.getMinutes());
}

// An object kept across pages: the panel persists it, so it survives GoToPage (a packet object
// serves, as it takes any members a script gives it).
function visits() {
    var kept = Global.UnPersist('visits');
    if (!kept) {
        kept = new ActiveXObject('Brevanto.Packet');
        kept.pageViews = 0;
        Global.Persist('visits', kept);
    }
    kept.pageViews = kept.pageViews + 1;
    return kept.pageViews;
}

// Every touch of the screen counts as activity: the backlight brightens and stays on.
document.addEventListener('pointerdown', function () {
    Global.BacklightController.UserActivity();
}, true);

function showClock() {
    $('clock').textContent = clockTime(new Date());
}
window.addEventListener('load', function () {
    showClock();
    setInterval(showClock, 10000);
    $('visits').textContent = 'page views: ' + visits();
});
