// The page bench/startup.sh starts: its first statement says when it ran (milliseconds of the
// system clock), then the panel stays idle until the script stops it.
Global.Log('first page statement at ' + Date.now());
