// Loaded by callback_errors_test.js: a script that fails as it runs.
var beforeFailure = true;
throw new Error('a loaded script fails');
