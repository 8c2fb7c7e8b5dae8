// brevanto-users: creates and changes the panel's users in a data directory's "Users" and
// "Security" files, with the library's own file code. It is how the first administrator gets
// there: the library itself creates no user, and only an administrator may add one.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace users_tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;  // the command was refused or failed
inline constexpr int kExitUsage = 2;  // the command line was wrong

// Runs one command line (without the program name). Results go to `out`, messages to `err`;
// `in` gives a pass code given as "-".
int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err);

}  // namespace users_tool
