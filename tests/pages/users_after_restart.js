// The second run of the host: the users and levels of the first are back from the files.
var sec = Global.Security;
assertEqual(sec.Users.length, 3);
assertEqual(sec.Login('4321'), 1);
assertEqual(sec.CurrentUser, 'bob');
assertEqual(sec.CheckUserLevel(1), 1);
assertEqual(sec.Login('admincode'), 1);
assertEqual(sec.GetUserLevels('dave')[0], 0);
done();
