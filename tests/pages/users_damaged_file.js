// A damaged Users file: nobody is known and nobody can log in; the service goes on.
var sec = Global.Security;
assertEqual(sec.Users.length, 0);
assertEqual(sec.Login('admincode'), 0);
assertEqual(sec.CurrentUser, 'guest');
// Refused, and the damaged files stay as they are for repair (no save).
assertEqual(sec.AddUser('eve', '1', [0]), 'Must be admin user!');
assertEqual(sec.SetPassword('guest', '2'), '');
done();
