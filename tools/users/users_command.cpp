#include "users_command.h"

#include <filesystem>
#include <istream>
#include <optional>
#include <sstream>

#include "platform/bstr.h"
#include "platform/version.h"
#include "security/user_database.h"

namespace users_tool {
namespace {

constexpr char kUsage[] =
    "usage: brevanto-users --data DIR COMMAND\n"
    "  add NAME --passcode CODE [--levels L,L,...]   a new user (levels 0 to 9; 0 is admin)\n"
    "  list                                          every user with its levels\n"
    "  remove NAME                                   removes the user\n"
    "  passcode NAME CODE                            a new pass code for the user\n"
    "  levels NAME L,L,...                           replaces the user's levels (\"\" for none)\n"
    "Names and pass codes are kept in lower case; a pass code belongs to one user only. A\n"
    "CODE of \"-\" is read from standard input, so that it stays out of the process list.\n"
    "  --help      print this and exit\n"
    "  --version   print the version and exit\n"
    "Exit status: 0 done; 1 the command was refused or the files could not be read or\n"
    "written (nothing was changed); 2 a wrong command line.\n";

// Messages of the file reader.
class StreamSink : public CXMLErrorSink {
  public:
    explicit StreamSink(std::ostream& err) : err_(err) {}
    void OnXMLError(std::u16string_view message) override {
        err_ << "brevanto-users: " << Utf16ToUtf8(message) << "\n";
    }

  private:
    std::ostream& err_;
};

class Refusal {
  public:
    explicit Refusal(std::string message) : message(std::move(message)) {}
    std::string message;
};

// "0,3" as levels; refuses anything that is not a list of levels 0 to 9.
std::vector<LONG> ParseLevels(const std::string& text) {
    std::vector<LONG> levels;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        if (item.size() != 1 || item[0] < '0' || item[0] > '9')
            throw Refusal("\"" + text + "\" is not a list of levels 0 to 9, such as 0,3");
        levels.push_back(item[0] - '0');
    }
    return levels;
}

std::u16string PassCode(std::string text, std::istream& in) {
    if (text == "-" && !std::getline(in, text)) throw Refusal("no pass code on standard input");
    const std::u16string code = UserDatabase::Lower(Utf8ToUtf16(text));
    // The file keeps the code as element text, whose leading white space reading drops.
    if (code.empty()) throw Refusal("the pass code is empty");
    for (char16_t c : code)
        if (c < 0x21 || c == 0x7F || c == 0xFFFD)
            throw Refusal("a pass code holds printable characters without spaces only");
    return code;
}

std::u16string Name(const std::string& text) {
    const std::u16string name = UserDatabase::Lower(Utf8ToUtf16(text));
    std::u16string_view problem = UserDatabase::NameProblem(name);
    if (!problem.empty()) throw Refusal(Utf16ToUtf8(problem));
    return name;
}

void RefuseUsedPassCode(const UserDatabase& database, const std::u16string& code,
                        const std::u16string& owner) {
    if (!database.OtherOwnerOf(code, owner).empty())
        throw Refusal("that pass code is already used by another user");
}

std::string LevelList(const std::vector<LONG>& levels) {
    std::string text;
    for (LONG level : levels)
        text += (text.empty() ? "" : ",") + std::to_string(level);
    return text.empty() ? "-" : text;
}

int RunCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err) {
    std::optional<std::string> data;
    std::vector<std::string> words;
    std::optional<std::string> pass_code, levels;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw Refusal(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--data") {
            data = value();
        } else if (arg == "--passcode") {
            pass_code = value();
        } else if (arg == "--levels") {
            levels = value();
        } else if (arg == "--help" || arg == "-h") {
            out << kUsage;
            return kExitOk;
        } else if (arg == "--version") {
            out << brevanto::VersionText("brevanto-users");
            return kExitOk;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            err << "brevanto-users: unknown option " << arg << "\n" << kUsage;
            return kExitUsage;
        } else {
            words.push_back(arg);
        }
    }
    const std::size_t arity = words.empty()            ? 0
                              : words[0] == "list"     ? 1
                              : words[0] == "add"      ? 2
                              : words[0] == "remove"   ? 2
                              : words[0] == "passcode" ? 3
                              : words[0] == "levels"   ? 3
                                                       : 0;
    const bool add = arity && words[0] == "add";
    if (!data || arity == 0 || words.size() != arity || (add != pass_code.has_value()) ||
        (levels && !add)) {
        err << "brevanto-users: "
            << (!data ? "--data DIR is needed" : "the command is incomplete or unknown") << "\n"
            << kUsage;
        return kExitUsage;
    }
    if (!std::filesystem::is_directory(*data))
        throw Refusal("the data directory " + *data + " does not exist");

    const std::u16string directory = Utf8ToUtf16(*data);
    UserDatabase database;
    StreamSink sink(err);
    if (FAILED(database.Load(directory, &sink)))
        throw Refusal("the files in " + *data +
                      " are damaged; nothing was changed (move them away to start afresh)");

    const std::string& command = words[0];
    if (command == "list") {
        for (const auto& [name, code] : database.users())
            out << Utf16ToUtf8(name) << " levels " << LevelList(database.LevelsOf(name)) << "\n";
        return kExitOk;
    }
    const std::u16string name = Name(words[1]);
    if (command == "add") {
        const std::u16string code = PassCode(*pass_code, in);
        const std::vector<LONG> held = ParseLevels(levels.value_or(""));
        if (database.Has(name)) throw Refusal("the user " + words[1] + " exists already");
        RefuseUsedPassCode(database, code, name);
        database.SetPassCode(name, code);
        database.SetLevels(name, held);
    } else if (!database.Has(name)) {
        throw Refusal("there is no user " + words[1]);
    } else if (command == "remove") {
        database.Remove(name);
    } else if (command == "passcode") {
        const std::u16string code = PassCode(words[2], in);
        RefuseUsedPassCode(database, code, name);
        database.SetPassCode(name, code);
    } else {
        database.SetLevels(name, ParseLevels(words[2]));
    }
    if (FAILED(database.Save(directory)))
        throw Refusal("the files in " + *data + " could not be written");
    return kExitOk;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err) {
    // The tool's one boundary: a refused command, or a failure of the system under it (a
    // directory it may not read, memory), becomes its message and status 1.
    try {
        return RunCommand(args, in, out, err);
    } catch (const Refusal& refusal) {
        err << "brevanto-users: " << refusal.message << "\n";
    } catch (const std::exception& failure) {
        err << "brevanto-users: " << failure.what() << "\n";
    }
    return kExitError;
}

}  // namespace users_tool
