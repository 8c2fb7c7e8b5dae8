// The users of the panel: names with pass codes and the security levels 0 to 9 each one holds,
// and the two files they are kept in. Names and pass codes are kept in lower case; a pass code
// belongs to at most one user (the callers check before they add or change one).
//
// The files hold secrets: they are written atomically, readable by their owner only, and pass
// codes are never put into a message.
#pragma once

#include <array>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "persistence/xml_reader.h"
#include "platform/types.h"

class UserDatabase {
  public:
    static constexpr LONG kLevelCount = 10;
    // Level 0 is the administrator level.
    static constexpr LONG kAdminLevel = 0;
    // The user who passes every level test, whatever levels it holds.
    static constexpr std::u16string_view kAdminUser = u"admin";
    // The files in the data directory (".xml" is appended).
    static constexpr std::u16string_view kUsersFile = u"Users";
    static constexpr std::u16string_view kSecurityFile = u"Security";

    using Users = std::map<std::u16string, std::u16string>;  // name -> pass code
    using Levels = std::array<std::set<std::u16string>, kLevelCount>;

    // Lower case, as names and pass codes are kept.
    static std::u16string Lower(std::u16string_view text);
    // Empty when `name` (lower case) can be stored; else why not, as a message for the user.
    static std::u16string_view NameProblem(std::u16string_view name);
    // True for the levels that exist (0 to 9).
    static bool IsLevel(LONG level) { return level >= 0 && level < kLevelCount; }

    const Users& users() const { return users_; }
    const Levels& levels() const { return levels_; }
    bool Has(std::u16string_view name) const { return users_.contains(std::u16string(name)); }

    // The level test for `user`: "admin" passes every level, anyone else the levels it holds.
    bool Passes(std::u16string_view user, LONG level) const;
    // The first user in name order whose pass code is `pass_code` (lower case); empty when
    // none. Every stored pass code is compared, each in time independent of where it differs.
    std::u16string FindByPassCode(std::u16string_view pass_code) const;
    // True when `pass_code` is the pass code of exactly `name` (both lower case).
    bool Verify(std::u16string_view name, std::u16string_view pass_code) const;
    // The user other than `except` that has `pass_code`; empty when none.
    std::u16string OtherOwnerOf(std::u16string_view pass_code, std::u16string_view except) const;
    // The levels `name` holds, ascending.
    std::vector<LONG> LevelsOf(std::u16string_view name) const;

    // Stores the pass code for `name`, adding the user (without levels) when it is new.
    void SetPassCode(std::u16string_view name, std::u16string_view pass_code);
    // Replaces the levels of `name` with the given ones that exist; others are ignored.
    void SetLevels(std::u16string_view name, const std::vector<LONG>& levels);
    // Removes the user and its levels; false when there was none.
    bool Remove(std::u16string_view name);

    // Replaces the database with the files of `directory`; a missing file leaves its part empty,
    // a damaged one too (its problems go to `sink`). Level entries of unknown users are dropped.
    // S_OK, S_FALSE when a file is missing, or the failure of the first damaged file.
    HRESULT Load(std::u16string_view directory, CXMLErrorSink* sink);
    // Writes "Users", then "Security", each replaced atomically and readable by its owner only.
    HRESULT Save(std::u16string_view directory) const;

  private:
    Users users_;
    Levels levels_;
};

// Equal texts, compared in time that depends on their lengths only.
bool ConstantTimeEqual(std::u16string_view a, std::u16string_view b);
