// The administrator that brevanto-users created logs in and manages users; every result text
// is the security service's own (run by tests/pages/run_users_pages.sh).
var sec = Global.Security;
assertEqual(sec.CurrentUser, 'guest');
assertEqual(Global.ReadOnly.Security.CurrentUser, 'guest', 'through a data context too');

var changes = 0;
Global.RegisterForEvent('UserChanged', null, function () { changes++; });

// [call, expected result]; each runs as the user logged in at that moment.
var table = [
    [function () { return sec.AddUser('bob', '4321', [1]); }, 'Must be admin user!'],
    [function () { return sec.Login('ADMINCODE'); }, 1],
    [function () { return sec.CurrentUser; }, 'admin'],
    [function () { return sec.IsAdmin(); }, 1],
    [function () { return sec.AddUser('Bob', '4321', [1]); }, ''],
    [function () { return sec.AddUser('bob', '1', [1]); }, 'User already exists!'],
    [function () { return sec.AddUser('carl', '4321', []); }, 'That password is already used!'],
    [function () { return sec.AddUser('', '9', []); }, 'Invalid UserName'],
    [function () { return sec.AddUser('Dave', '5', [0, 12, -1]); }, ''],
    [function () { return sec.GetUserLevels('dave').length; }, 1],
    [function () { return sec.GetUserLevels('dave')[0]; }, 0],
    [function () { return sec.AddUser('no body', '6', []).indexOf('Invalid UserName:'); }, 0],
    [function () { return sec.SetUserLevels('nobody', [1]); }, 'User does not exist'],
    [function () { return sec.CheckUserLevel(7); }, 1],
    [function () { return sec.Login('4321'); }, 1],
    [function () { return sec.CurrentUser; }, 'bob'],
    [function () { return sec.CheckUserLevel(1); }, 1],
    [function () { return sec.CheckUserLevel(2); }, 0],
    [function () { return sec.IsAdmin(); }, 0],
    [function () { return sec.Login('wrong'); }, 0],
    [function () { return sec.CurrentUser; }, 'bob'],
    [function () { return sec.GetUserLevels('dave') == null; }, true],
    [function () { return sec.SetUserLevels('dave', [1]); }, 'Must be admin user'],
    [function () { return sec.SetPassword('dave', '77'); },
     'You must be either admin or dave to set that password'],
    [function () { return sec.SetPassword('bob', '5'); }, 'That password is already used'],
    [function () { return sec.SetPassword('Bob', '4321'); }, ''],
    [function () { return sec.Users.length; }, 3],
    [function () { return sec.Users[1]; }, 'bob'],
];
afterRegistrations(runTable);

function runTable() {
    for (var i = 0; i < table.length; i++)
        assertEqual(table[i][0](), table[i][1], 'row ' + i);
    // Each of the three log-ins announced itself, the failed one too.
    waitFor(function () { return changes === 3; }, 10000, done, 'three UserChanged events');
}
