// Loaded by callback_errors_test.js: declarations that removing the script takes away again.
var loadedVar = 42;
function loadedFunction() {
    return loadedVar;
}
