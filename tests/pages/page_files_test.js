// A page that cannot be read leaves the panel on the page it shows: a device that never ends,
// a directory, a missing file. Switching pages happens between timer passes, so a timer set
// with the request runs after the host has dealt with it.
// expect-output: cannot read script file /dev/zero: not a regular file (the panel stays on the current page)
// expect-output: cannot read script file /: it is a directory (the panel stays on the current page)
// expect-output: no_such_page.js: No such file or directory (the panel stays on the current page)
var steps = [
    function () { Global.GoToPage('/dev/zero'); },
    function () { Global.GoToPage('/'); },
    function () { Global.GoToPage('no_such_page.js'); },
];
var step = 0;
(function next() {
    if (step == steps.length) return done();
    steps[step++]();
    setTimeout(next, 0);
})();
