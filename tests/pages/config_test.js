// The data directory's configuration (tests/pages/data/demo/Config.xml) as Global.Config: its typed
// settings reach the page and the Global, and loading again keeps them.
var config = Global.Config;
assertEqual(config.PacketDelay, 50, 'PacketDelay');
assertEqual(typeof config.PacketDelay, 'number', 'PacketDelay type');
assertEqual(config.StartPage, 'demo.js', 'StartPage');
assertEqual(config.PanelName, 'Demo panel', 'PanelName');
assertEqual(Global.PacketDelay, 50, 'the Global took the packet delay');
config.Load();
assertEqual(config.PanelName, 'Demo panel', 'after Load');
done();
