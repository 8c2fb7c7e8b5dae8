// Scripts a page loads: their declarations go when the script is removed; one that fails is
// reported, and the page goes on.
// expect-output: failing_script.js:3: Error: a loaded script fails
assertEqual(Global.LoadScript('lib', 'loaded_script.js'), 1, 'loaded');
assertEqual(loadedFunction(), 42, 'its function');
Global.RemoveScript('lib');
assertEqual(typeof loadedVar, 'undefined', 'its variable is gone');
assertEqual(typeof loadedFunction, 'undefined', 'its function is gone');

assertEqual(Global.LoadScript('failing', 'failing_script.js'), 0, 'the failure is the result');
assertEqual(beforeFailure, true, 'what ran before the failure stays');
done();
