#include "security/user_database.h"

#include <algorithm>

#include "persistence/xml_writer.h"
#include "platform/bstr.h"
#include "platform/case_fold.h"

namespace {

constexpr std::u16string_view kEmptyName = u"Invalid UserName";
// The files keep each user as an element named after it, so a name must be an element name.
constexpr std::u16string_view kUnwritableName =
    u"Invalid UserName: a user name starts with a letter or '_' and holds only letters, "
    u"digits, '-', '_' and '.'";

// "Users": the document element (an array) holds one element per user, named by the user,
// whose text is the pass code.
class UsersReader : public CXMLReadHelperBase {
  public:
    using CXMLReadHelperBase::CXMLReadHelperBase;
    UserDatabase::Users users;

    void Begin() override {
        CXMLReadHelperBase::Begin();
        depth_ = 0;
        users.clear();
    }
    void OnEnd() override {
        CXMLReadHelperBase::OnEnd();
        --depth_;
    }
    bool OnObject(std::u16string_view name, std::u16string_view type) override {
        ++depth_;
        return CXMLReadHelperBase::OnObject(name, type);
    }
    bool OnProperty(std::u16string_view name, std::u16string_view value,
                    std::u16string_view type) override {
        if (depth_ == 1) users[UserDatabase::Lower(name)] = UserDatabase::Lower(value);
        ++depth_;
        return CXMLReadHelperBase::OnProperty(name, value, type);
    }
    bool OnOther() override {
        ++depth_;
        return CXMLReadHelperBase::OnOther();
    }

  private:
    int depth_ = 0;
};

// "Security": the document element holds one array per level (Index 0 to 9), each holding one
// empty element per user of that level.
class LevelsReader : public CXMLReadHelperBase {
  public:
    using CXMLReadHelperBase::CXMLReadHelperBase;
    UserDatabase::Levels levels;

    void Begin() override {
        CXMLReadHelperBase::Begin();
        depth_ = 0;
        level_ = -1;
        for (auto& users : levels)
            users.clear();
    }
    void OnEnd() override {
        CXMLReadHelperBase::OnEnd();
        if (--depth_ == 1) level_ = -1;
    }
    bool OnObject(std::u16string_view name, std::u16string_view type) override {
        if (depth_ == 1) level_ = LevelOf(name);
        ++depth_;
        return CXMLReadHelperBase::OnObject(name, type);
    }
    bool OnProperty(std::u16string_view name, std::u16string_view value,
                    std::u16string_view type) override {
        if (depth_ == 2 && level_ >= 0) levels[level_].insert(UserDatabase::Lower(name));
        ++depth_;
        return CXMLReadHelperBase::OnProperty(name, value, type);
    }
    bool OnOther() override {
        ++depth_;
        return CXMLReadHelperBase::OnOther();
    }

  private:
    // The level an array's name (its Index) stands for; -1 for anything else.
    static LONG LevelOf(std::u16string_view name) {
        static_assert(UserDatabase::kLevelCount == 10, "levels are single digits");
        if (name.size() != 1 || name[0] < u'0' || name[0] > u'9') return -1;
        return name[0] - u'0';
    }

    int depth_ = 0;
    LONG level_ = -1;
};

class UsersWriter : public CXMLWriteHelperBase {
  public:
    explicit UsersWriter(const UserDatabase::Users& users) : users_(users) {}
    void WriteDocument(CXMLElementWriter& out) override {
        if (!out.BeginObject(UserDatabase::kUsersFile, u"Array")) return;
        for (const auto& [name, pass_code] : users_)
            out.Value(name, u"", pass_code);
        out.EndObject();
    }

  private:
    const UserDatabase::Users& users_;
};

class LevelsWriter : public CXMLWriteHelperBase {
  public:
    explicit LevelsWriter(const UserDatabase::Levels& levels) : levels_(levels) {}
    void WriteDocument(CXMLElementWriter& out) override {
        if (!out.BeginObject(UserDatabase::kSecurityFile, u"Array")) return;
        for (LONG level = 0; level < UserDatabase::kLevelCount; ++level) {
            const std::u16string index = Utf8ToUtf16(std::to_string(level));
            if (!out.BeginObject(index, u"Array")) continue;
            for (const std::u16string& name : levels_[level])
                out.Value(name, u"", u"");
            out.EndObject();
        }
        out.EndObject();
    }

  private:
    const UserDatabase::Levels& levels_;
};

}  // namespace

bool ConstantTimeEqual(std::u16string_view a, std::u16string_view b) {
    const std::size_t length = std::max(a.size(), b.size());
    std::size_t difference = a.size() ^ b.size();
    for (std::size_t i = 0; i < length; ++i) {
        // Past its end a text reads as zeros, so the loop never stops at a difference.
        const char16_t x = i < a.size() ? a[i] : 0;
        const char16_t y = i < b.size() ? b[i] : 0;
        difference |= static_cast<std::size_t>(x ^ y);
    }
    return difference == 0;
}

std::u16string UserDatabase::Lower(std::u16string_view text) {
    return FoldCase(text);
}

std::u16string_view UserDatabase::NameProblem(std::u16string_view name) {
    if (name.empty()) return kEmptyName;
    if (!IsXmlElementName(name)) return kUnwritableName;
    return {};
}

bool UserDatabase::Passes(std::u16string_view user, LONG level) const {
    if (user == kAdminUser) return true;
    return IsLevel(level) && levels_[level].contains(std::u16string(user));
}

std::u16string UserDatabase::FindByPassCode(std::u16string_view pass_code) const {
    const std::u16string* found = nullptr;
    for (const auto& [name, stored] : users_) {
        const bool equal = ConstantTimeEqual(stored, pass_code);
        if (equal && !found) found = &name;
    }
    return found ? *found : std::u16string();
}

bool UserDatabase::Verify(std::u16string_view name, std::u16string_view pass_code) const {
    auto it = users_.find(std::u16string(name));
    return it != users_.end() && ConstantTimeEqual(it->second, pass_code);
}

std::u16string UserDatabase::OtherOwnerOf(std::u16string_view pass_code,
                                          std::u16string_view except) const {
    const std::u16string* found = nullptr;
    for (const auto& [name, stored] : users_) {
        const bool equal = ConstantTimeEqual(stored, pass_code);
        if (equal && !found && name != except) found = &name;
    }
    return found ? *found : std::u16string();
}

std::vector<LONG> UserDatabase::LevelsOf(std::u16string_view name) const {
    std::vector<LONG> held;
    for (LONG level = 0; level < kLevelCount; ++level)
        if (levels_[level].contains(std::u16string(name))) held.push_back(level);
    return held;
}

void UserDatabase::SetPassCode(std::u16string_view name, std::u16string_view pass_code) {
    users_[std::u16string(name)] = pass_code;
}

void UserDatabase::SetLevels(std::u16string_view name, const std::vector<LONG>& levels) {
    const std::u16string key(name);
    for (auto& users : levels_)
        users.erase(key);
    for (LONG level : levels)
        if (IsLevel(level)) levels_[level].insert(key);
}

bool UserDatabase::Remove(std::u16string_view name) {
    SetLevels(name, {});
    return users_.erase(std::u16string(name)) != 0;
}

HRESULT UserDatabase::Load(std::u16string_view directory, CXMLErrorSink* sink) {
    UsersReader users(sink);
    LevelsReader levels(sink);
    CDOMReader reader{std::u16string(directory)};
    reader.Read(kUsersFile, &users);
    reader.Read(kSecurityFile, &levels);
    // A damaged file counts as missing: half a user list is worse than none.
    users_ = FAILED(users.Result) ? Users() : std::move(users.users);
    levels_ = FAILED(levels.Result) ? Levels() : std::move(levels.levels);
    for (auto& holders : levels_)
        std::erase_if(holders, [&](const std::u16string& name) { return !users_.contains(name); });
    if (FAILED(users.Result)) return users.Result;
    if (FAILED(levels.Result)) return levels.Result;
    return users.Result == S_OK && levels.Result == S_OK ? S_OK : S_FALSE;
}

HRESULT UserDatabase::Save(std::u16string_view directory) const {
    CXMLWriter writer{std::u16string(directory)};
    UsersWriter users(users_);
    HRESULT hr = writer.Write(kUsersFile, users, CXMLWriter::kOwnerOnly);
    if (FAILED(hr)) return hr;
    LevelsWriter levels(levels_);
    return writer.Write(kSecurityFile, levels, CXMLWriter::kOwnerOnly);
}
