#include "platform/settings_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/atomic_file.h"
#include "platform/bstr.h"
#include "platform/case_fold.h"

namespace brevanto {
namespace {

struct CaseLess {
    bool operator()(std::u16string_view a, std::u16string_view b) const {
        size_t n = std::min(a.size(), b.size());
        for (size_t i = 0; i < n; ++i) {
            char16_t x = FoldCase(a[i]), y = FoldCase(b[i]);
            if (x != y) return x < y;
        }
        return a.size() < b.size();
    }
    using is_transparent = void;
};

std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    while (!path.empty()) {
        size_t cut = path.find(u'\\');
        std::u16string_view part = path.substr(0, cut);
        if (!part.empty()) parts.push_back(part);
        if (cut == std::u16string_view::npos) break;
        path.remove_prefix(cut + 1);
    }
    return parts;
}

void Complain(const std::filesystem::path& file, int line, const char* what) {
    std::fprintf(stderr, "settings store: %s:%d: %s; line skipped\n", file.c_str(), line, what);
}

// "..." with \\ \" \n \r escapes; `pos` moves past the closing quote.
bool ParseQuoted(std::string_view text, size_t* pos, std::string* out) {
    if (*pos >= text.size() || text[*pos] != '"') return false;
    out->clear();
    for (size_t i = *pos + 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (++i >= text.size()) return false;
            switch (text[i]) {
                case 'n':
                    c = '\n';
                    break;
                case 'r':
                    c = '\r';
                    break;
                case '\\':
                case '"':
                    c = text[i];
                    break;
                default:
                    return false;
            }
        }
        out->push_back(c);
    }
    return false;
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

std::vector<BYTE> StringData(std::u16string_view text) {
    std::vector<BYTE> data((text.size() + 1) * 2, 0);
    std::memcpy(data.data(), text.data(), text.size() * 2);
    return data;
}

// The text of REG_SZ data that is one well-formed, zero-terminated string; false otherwise.
bool StringOf(const std::vector<BYTE>& data, std::u16string* text) {
    if (data.size() < 2 || data.size() % 2) return false;
    std::u16string units(data.size() / 2, u'\0');
    std::memcpy(units.data(), data.data(), data.size());
    if (units.back() != 0) return false;
    units.pop_back();
    if (units.find(u'\0') != std::u16string::npos) return false;
    *text = std::move(units);
    return true;
}

// Hexadecimal digits only, one to `most` of them: no sign, space or "0x", which strtoul would
// take, so that a hand-edited value is either read as written or skipped with a message.
bool ParseHexNumber(std::string_view digits, std::size_t most, unsigned long* value) {
    if (digits.empty() || digits.size() > most) return false;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, *value, 16);
    return error == std::errc() && stop == end;
}

bool ParseHexBytes(std::string_view text, std::vector<BYTE>* out) {
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        if (i >= text.size()) break;
        size_t end = text.find(',', i);
        std::string_view byte = text.substr(i, end == std::string_view::npos ? end : end - i);
        while (!byte.empty() && (byte.back() == ' ' || byte.back() == '\t'))
            byte.remove_suffix(1);
        unsigned long v = 0;
        if (!ParseHexNumber(byte, 2, &v)) return false;
        out->push_back(static_cast<BYTE>(v));
        if (end == std::string_view::npos) break;
        i = end + 1;
    }
    return true;
}

}  // namespace

struct SettingsStore::Node {
    std::u16string name;
    std::map<std::u16string, std::unique_ptr<Node>, CaseLess> children;
    std::map<std::u16string, Value, CaseLess> values;

    Node* Child(std::u16string_view child_name, bool create) {
        auto it = children.find(child_name);
        if (it != children.end()) return it->second.get();
        if (!create) return nullptr;
        auto node = std::make_unique<Node>();
        node->name = std::u16string(child_name);
        Node* raw = node.get();
        children.emplace(node->name, std::move(node));
        return raw;
    }
};

SettingsStore::SettingsStore(std::filesystem::path file)
    : file_(std::move(file)), root_(std::make_unique<Node>()) {}

SettingsStore::~SettingsStore() = default;

std::filesystem::path SettingsStore::DefaultPath() {
    if (const char* explicit_path = std::getenv("BREVANTO_SETTINGS");
        explicit_path && *explicit_path)
        return explicit_path;
    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::filesystem::path(home) / ".config";
    else
        base = std::filesystem::temp_directory_path();
    return base / "brevanto" / "registry";
}

SettingsStore& SettingsStore::Default() {
    // Never destroyed: static destructors of modules may still read settings.
    static auto* store = new SettingsStore(DefaultPath());
    return *store;
}

SettingsStore::FileIdentity SettingsStore::Identify() const {
    struct stat st;
    if (::stat(file_.c_str(), &st) != 0) return {};
    return {static_cast<std::uintmax_t>(st.st_dev), static_cast<std::uintmax_t>(st.st_ino),
            static_cast<std::uintmax_t>(st.st_size),
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, true};
}

void SettingsStore::RefreshLocked() {
    FileIdentity now = Identify();
    if (loaded_once_ && now == loaded_) return;
    loaded_ = now;
    loaded_once_ = true;
    LoadLocked();
}

bool SettingsStore::ReadFileLocked(std::string* text) {
    auto refuse = [&](const char* why) {
        unreadable_ = true;
        std::fprintf(stderr,
                     "settings store: %s: %s; its settings are not read and it is not written\n",
                     file_.c_str(), why);
        return false;
    };
    // Non-blocking, so that a FIFO or a device at the path cannot hold start-up.
    const int fd = ::open(file_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? false : refuse(std::strerror(errno));
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return refuse("not a regular file");
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return refuse(std::strerror(error));
        }
        if (n == 0) break;
        text->append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

void SettingsStore::LoadLocked() {
    root_ = std::make_unique<Node>();
    unreadable_ = false;
    damaged_ = false;
    std::string text;
    if (!ReadFileLocked(&text)) return;
    std::istringstream in(std::move(text));
    // The first few skipped lines are named; a file of garbage floods no log.
    constexpr int kNamedSkips = 10;
    int skipped = 0;
    auto skip = [&](int line, const char* what) {
        if (++skipped <= kNamedSkips) Complain(file_, line, what);
        damaged_ = true;
    };
    std::string line;
    int number = 0;
    Node* key = nullptr;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == ';') continue;
        std::string_view text(line);
        text.remove_prefix(start);
        if (number == 1 && text.starts_with("BREVANTO SETTINGS")) continue;
        if (text.front() == '[') {
            size_t close = text.rfind(']');
            if (close == std::string_view::npos) {
                skip(number, "key header without ']'");
                key = nullptr;
                continue;
            }
            std::u16string path = Utf8ToUtf16(text.substr(1, close - 1));
            const auto parts = SplitPath(path);
            if (parts.size() > kMaxKeyDepth) {
                static const std::string too_deep =
                    "key nested deeper than " + std::to_string(kMaxKeyDepth) + " levels";
                skip(number, too_deep.c_str());
                key = nullptr;
                continue;
            }
            key = root_.get();
            for (auto part : parts)
                key = key->Child(part, true);
            if (key == root_.get()) key = nullptr;
            continue;
        }
        if (!key) {
            skip(number, "value outside a key");
            continue;
        }
        size_t pos = 0;
        std::string name;
        if (text.front() == '@') {
            pos = 1;
        } else if (!ParseQuoted(text, &pos, &name)) {
            skip(number, "malformed value name");
            continue;
        }
        if (pos >= text.size() || text[pos] != '=') {
            skip(number, "'=' expected after the value name");
            continue;
        }
        std::string_view data = text.substr(pos + 1);
        Value value;
        if (data.starts_with("\"")) {
            std::string s;
            size_t p = 0;
            if (!ParseQuoted(data, &p, &s) || p != data.size()) {
                skip(number, "malformed string value");
                continue;
            }
            value.type = REG_SZ;
            value.data = StringData(Utf8ToUtf16(s));
        } else if (data.starts_with("dword:")) {
            unsigned long v = 0;
            if (!ParseHexNumber(data.substr(6), 8, &v)) {
                skip(number, "malformed dword value");
                continue;
            }
            value.type = REG_DWORD;
            DWORD d = static_cast<DWORD>(v);
            value.data.resize(4);
            std::memcpy(value.data.data(), &d, 4);
        } else if (data.starts_with("hex:") || data.starts_with("hex(")) {
            size_t colon = data.find(':');
            value.type = REG_BINARY;
            if (data[3] == '(') {
                unsigned long type = 0;
                if (colon == std::string_view::npos || data[colon - 1] != ')' ||
                    !ParseHexNumber(data.substr(4, colon - 5), 8, &type)) {
                    skip(number, "malformed hex type");
                    continue;
                }
                value.type = static_cast<DWORD>(type);
            }
            if (!ParseHexBytes(data.substr(colon + 1), &value.data)) {
                skip(number, "malformed hex bytes");
                continue;
            }
        } else {
            skip(number, "unknown value form");
            continue;
        }
        key->values[Utf8ToUtf16(name)] = std::move(value);
    }
    if (skipped > kNamedSkips)
        std::fprintf(stderr, "settings store: %s: %d more lines skipped\n", file_.c_str(),
                     skipped - kNamedSkips);
}

LONG SettingsStore::SaveLocked() {
    std::ostringstream out;
    out << "BREVANTO SETTINGS 1\n";
    std::vector<std::pair<std::string, const Node*>> stack;
    for (auto it = root_->children.rbegin(); it != root_->children.rend(); ++it)
        stack.emplace_back(Utf16ToUtf8(it->second->name), it->second.get());
    while (!stack.empty()) {
        auto [path, node] = stack.back();
        stack.pop_back();
        out << '[' << path << "]\n";
        for (auto& [name, value] : node->values) {
            out << (name.empty() ? std::string("@") : Quote(Utf16ToUtf8(name))) << '=';
            std::u16string text;
            if (value.type == REG_SZ && StringOf(value.data, &text)) {
                out << Quote(Utf16ToUtf8(text));
            } else if (value.type == REG_DWORD && value.data.size() == 4) {
                DWORD d;
                std::memcpy(&d, value.data.data(), 4);
                char hex[9];
                std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(d));
                out << "dword:" << hex;
            } else {
                char head[24];
                if (value.type == REG_BINARY)
                    std::snprintf(head, sizeof head, "hex:");
                else
                    std::snprintf(head, sizeof head, "hex(%x):", static_cast<unsigned>(value.type));
                out << head;
                for (size_t i = 0; i < value.data.size(); ++i) {
                    char byte[4];
                    std::snprintf(byte, sizeof byte, i ? ",%02x" : "%02x", value.data[i]);
                    out << byte;
                }
            }
            out << '\n';
        }
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it)
            stack.emplace_back(path + '\\' + Utf16ToUtf8(it->second->name), it->second.get());
    }

    if (damaged_ && !KeepDamagedLocked()) return ERROR_WRITE_FAULT;
    if (int error = WriteFileAtomically(file_, out.str(), 0600)) {
        std::fprintf(stderr, "settings store: %s: cannot write: %s\n", file_.c_str(),
                     std::strerror(error));
        return error == EACCES ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
    }
    loaded_ = Identify();
    damaged_ = false;
    return ERROR_SUCCESS;
}

bool SettingsStore::KeepDamagedLocked() {
    std::filesystem::path kept = file_;
    kept += ".damaged";
    std::error_code ec;
    std::filesystem::copy_file(file_, kept, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        std::fprintf(stderr,
                     "settings store: %s: damaged, and no copy could be kept (%s); not "
                     "rewritten\n",
                     file_.c_str(), ec.message().c_str());
        return false;
    }
    std::fprintf(stderr,
                 "settings store: %s: rewritten without its unreadable lines; the damaged "
                 "original is kept as %s\n",
                 file_.c_str(), kept.c_str());
    return true;
}

int SettingsStore::LockFile() {
    std::error_code ec;
    if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), ec);
    std::filesystem::path lock_path = file_;
    lock_path += ".lock";
    int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::flock(fd, LOCK_EX);
    return fd;
}

template <class F>
LONG SettingsStore::Change(F&& change) {
    std::lock_guard lock(mutex_);
    // A failed save keeps the change in memory (the file is rewritten whole at the next save).
    auto run = [&] {
        if (unreadable_) return ERROR_ACCESS_DENIED;  // never overwrite what could not be read
        bool changed = false;
        LONG result = change(changed);
        if (result != ERROR_SUCCESS || !changed) return result;
        if (batch_depth_ > 0) {
            dirty_ = true;
            return ERROR_SUCCESS;
        }
        return SaveLocked();
    };
    if (batch_depth_ > 0) return run();
    // The advisory lock keeps other processes' changes from crossing ours.
    int fd = LockFile();
    RefreshLocked();
    LONG result = run();
    if (fd >= 0) ::close(fd);  // also releases the lock
    return result;
}

void SettingsStore::BeginBatch() {
    std::lock_guard lock(mutex_);
    if (batch_depth_++ > 0) return;
    batch_lock_fd_ = LockFile();
    RefreshLocked();
}

LONG SettingsStore::EndBatch() {
    std::lock_guard lock(mutex_);
    if (batch_depth_ == 0 || --batch_depth_ > 0) return ERROR_SUCCESS;
    LONG result = dirty_ && !unreadable_ ? SaveLocked() : ERROR_SUCCESS;
    dirty_ = false;
    if (batch_lock_fd_ >= 0) ::close(batch_lock_fd_);
    batch_lock_fd_ = -1;
    return result;
}

SettingsStore::Node* SettingsStore::Find(std::u16string_view path) {
    Node* node = root_.get();
    for (auto part : SplitPath(path)) {
        node = node->Child(part, false);
        if (!node) return nullptr;
    }
    return node;
}

LONG SettingsStore::CreateKey(std::u16string_view path, bool* created) {
    if (created) *created = false;
    const auto parts = SplitPath(path);
    if (parts.empty() || parts.size() > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
    {
        // A key that exists is opened without a write, also where the file cannot be written.
        std::lock_guard lock(mutex_);
        RefreshLocked();
        if (Find(path)) return ERROR_SUCCESS;
    }
    return Change([&](bool& changed) {
        Node* node = root_.get();
        for (auto part : parts) {
            Node* next = node->Child(part, false);
            if (!next) {
                next = node->Child(part, true);
                changed = true;
            }
            node = next;
        }
        if (created) *created = changed;
        return ERROR_SUCCESS;
    });
}

LONG SettingsStore::OpenKey(std::u16string_view path) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    return Find(path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG SettingsStore::QueryValue(std::u16string_view path, std::u16string_view name, Value* value) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    Node* node = Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    auto it = node->values.find(name);
    if (it == node->values.end()) return ERROR_FILE_NOT_FOUND;
    if (value) *value = it->second;
    return ERROR_SUCCESS;
}

LONG SettingsStore::SetValue(std::u16string_view path, std::u16string_view name,
                             const Value& value) {
    return Change([&](bool& changed) {
        Node* node = Find(path);
        if (!node || node == root_.get()) return ERROR_FILE_NOT_FOUND;
        auto it = node->values.find(name);
        if (it != node->values.end()) {
            changed = it->second.type != value.type || it->second.data != value.data;
            it->second = value;
        } else {
            node->values.emplace(std::u16string(name), value);
            changed = true;
        }
        return ERROR_SUCCESS;
    });
}

LONG SettingsStore::DeleteValue(std::u16string_view path, std::u16string_view name) {
    return Change([&](bool& changed) {
        Node* node = Find(path);
        if (!node) return ERROR_FILE_NOT_FOUND;
        auto it = node->values.find(name);
        if (it == node->values.end()) return ERROR_FILE_NOT_FOUND;
        node->values.erase(it);
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG SettingsStore::DeleteTree(std::u16string_view path) {
    auto parts = SplitPath(path);
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    return Change([&](bool& changed) {
        Node* parent = root_.get();
        for (size_t i = 0; i + 1 < parts.size() && parent; ++i)
            parent = parent->Child(parts[i], false);
        if (!parent) return ERROR_FILE_NOT_FOUND;
        auto it = parent->children.find(parts.back());
        if (it == parent->children.end()) return ERROR_FILE_NOT_FOUND;
        parent->children.erase(it);
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG SettingsStore::DeleteKey(std::u16string_view path) {
    {
        std::lock_guard lock(mutex_);
        RefreshLocked();
        Node* node = Find(path);
        if (!node) return ERROR_FILE_NOT_FOUND;
        if (!node->children.empty()) return ERROR_ACCESS_DENIED;
    }
    return DeleteTree(path);
}

LONG SettingsStore::EnumKeys(std::u16string_view path, std::vector<std::u16string>* names) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    names->clear();
    Node* node = Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    for (auto& [name, child] : node->children)
        names->push_back(child->name);
    return ERROR_SUCCESS;
}

LONG SettingsStore::EnumValues(std::u16string_view path, std::vector<std::u16string>* names) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    names->clear();
    Node* node = Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    for (auto& [name, value] : node->values)
        names->push_back(name);
    return ERROR_SUCCESS;
}

}  // namespace brevanto

// ---- The platform's registry functions -------------------------------------------------------

struct RegistryKeyHandle {
    std::u16string path;
    bool predefined = false;
};

namespace {
RegistryKeyHandle g_classes_root{u"HKEY_CLASSES_ROOT", true};
RegistryKeyHandle g_current_user{u"HKEY_CURRENT_USER", true};
RegistryKeyHandle g_local_machine{u"HKEY_LOCAL_MACHINE", true};
RegistryKeyHandle g_users{u"HKEY_USERS", true};

brevanto::SettingsStore& Store() {
    return brevanto::SettingsStore::Default();
}

std::u16string Join(HKEY key, LPCOLESTR subkey) {
    std::u16string path = key->path;
    if (subkey && *subkey) {
        path += u'\\';
        path += subkey;
    }
    return path;
}

std::u16string_view NameOf(LPCOLESTR name) {
    return name ? std::u16string_view(name) : std::u16string_view();
}
}  // namespace

HKEY const HKEY_CLASSES_ROOT = &g_classes_root;
HKEY const HKEY_CURRENT_USER = &g_current_user;
HKEY const HKEY_LOCAL_MACHINE = &g_local_machine;
HKEY const HKEY_USERS = &g_users;

LONG RegCreateKeyExW(HKEY key, LPCOLESTR subkey, DWORD, LPOLESTR, DWORD, REGSAM, void*,
                     HKEY* result, DWORD* disposition) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::u16string path = Join(key, subkey);
    bool created = false;
    LONG status = Store().CreateKey(path, &created);
    if (status != ERROR_SUCCESS) return status;
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = new RegistryKeyHandle{std::move(path), false};
    return ERROR_SUCCESS;
}

LONG RegOpenKeyExW(HKEY key, LPCOLESTR subkey, DWORD, REGSAM, HKEY* result) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::u16string path = Join(key, subkey);
    LONG status = Store().OpenKey(path);
    if (status != ERROR_SUCCESS) return status;
    *result = new RegistryKeyHandle{std::move(path), false};
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (!key->predefined) delete key;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, LPCOLESTR name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (data && !size) return ERROR_INVALID_PARAMETER;
    brevanto::SettingsStore::Value value;
    LONG status = Store().QueryValue(key->path, NameOf(name), &value);
    if (status != ERROR_SUCCESS) return status;
    if (type) *type = value.type;
    DWORD needed = static_cast<DWORD>(value.data.size());
    if (!size) return ERROR_SUCCESS;
    DWORD room = *size;
    *size = needed;
    if (!data) return ERROR_SUCCESS;
    if (room < needed) return ERROR_MORE_DATA;
    if (needed) std::memcpy(data, value.data.data(), needed);
    return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY key, LPCOLESTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (size && !data) return ERROR_INVALID_PARAMETER;
    brevanto::SettingsStore::Value value{type, std::vector<BYTE>(data, data + size)};
    return Store().SetValue(key->path, NameOf(name), value);
}

LONG RegDeleteValueW(HKEY key, LPCOLESTR name) {
    if (!key) return ERROR_INVALID_HANDLE;
    return Store().DeleteValue(key->path, NameOf(name));
}

LONG RegDeleteKeyW(HKEY key, LPCOLESTR subkey) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (!subkey || !*subkey) return ERROR_INVALID_PARAMETER;
    return Store().DeleteKey(Join(key, subkey));
}

LONG RegDeleteTreeW(HKEY key, LPCOLESTR subkey) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (subkey && *subkey) return Store().DeleteTree(Join(key, subkey));
    // Without a sub-key the key stays and loses everything it holds.
    std::vector<std::u16string> names;
    LONG status = Store().EnumKeys(key->path, &names);
    if (status != ERROR_SUCCESS) return status;
    for (auto& name : names)
        Store().DeleteTree(key->path + u'\\' + name);
    Store().EnumValues(key->path, &names);
    for (auto& name : names)
        Store().DeleteValue(key->path, name);
    return ERROR_SUCCESS;
}

namespace {
LONG CopyName(const std::u16string& text, LPOLESTR name, DWORD* length) {
    if (!name || !length) return ERROR_INVALID_PARAMETER;
    if (*length < text.size() + 1) {
        *length = static_cast<DWORD>(text.size() + 1);
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, text.c_str(), (text.size() + 1) * sizeof(char16_t));
    *length = static_cast<DWORD>(text.size());
    return ERROR_SUCCESS;
}
}  // namespace

LONG RegEnumKeyExW(HKEY key, DWORD index, LPOLESTR name, DWORD* name_length, DWORD*, LPOLESTR,
                   DWORD* class_length, void*) {
    if (!key) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> names;
    LONG status = Store().EnumKeys(key->path, &names);
    if (status != ERROR_SUCCESS) return status;
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    if (class_length) *class_length = 0;
    return CopyName(names[index], name, name_length);
}

LONG RegEnumValueW(HKEY key, DWORD index, LPOLESTR name, DWORD* name_length, DWORD*, DWORD* type,
                   BYTE* data, DWORD* data_length) {
    if (!key) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> names;
    LONG status = Store().EnumValues(key->path, &names);
    if (status != ERROR_SUCCESS) return status;
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    status = CopyName(names[index], name, name_length);
    if (status != ERROR_SUCCESS) return status;
    if (!type && !data && !data_length) return ERROR_SUCCESS;
    return RegQueryValueExW(key, names[index].c_str(), nullptr, type, data, data_length);
}

// ---- CRegKey ----------------------------------------------------------------------------------

LONG CRegKey::Create(HKEY parent, LPCOLESTR name) {
    HKEY key = nullptr;
    LONG status =
        RegCreateKeyExW(parent, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    Close();
    m_hKey = key;
    return ERROR_SUCCESS;
}

LONG CRegKey::Open(HKEY parent, LPCOLESTR name, REGSAM access) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(parent, name, 0, access, &key);
    if (status != ERROR_SUCCESS) return status;
    Close();
    m_hKey = key;
    return ERROR_SUCCESS;
}

LONG CRegKey::Close() {
    if (!m_hKey) return ERROR_SUCCESS;
    LONG status = RegCloseKey(m_hKey);
    m_hKey = nullptr;
    return status;
}

LONG CRegKey::QueryDWORDValue(LPCOLESTR name, DWORD& value) {
    DWORD type = 0, size = sizeof(DWORD), v = 0;
    LONG status =
        RegQueryValueExW(m_hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_DWORD || size != sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
    value = v;
    return ERROR_SUCCESS;
}

LONG CRegKey::SetDWORDValue(LPCOLESTR name, DWORD value) {
    return RegSetValueExW(m_hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

LONG CRegKey::QueryStringValue(LPCOLESTR name, std::u16string* value) {
    if (!m_hKey) return ERROR_INVALID_HANDLE;
    brevanto::SettingsStore::Value v;
    LONG status = Store().QueryValue(m_hKey->path, NameOf(name), &v);
    if (status != ERROR_SUCCESS) return status;
    if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) return ERROR_INVALID_PARAMETER;
    std::u16string text(v.data.size() / 2, u'\0');
    std::memcpy(text.data(), v.data.data(), text.size() * 2);
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    *value = std::move(text);
    return ERROR_SUCCESS;
}

LONG CRegKey::SetStringValue(LPCOLESTR name, LPCOLESTR value) {
    std::vector<BYTE> data = brevanto::StringData(value ? value : u"");
    return RegSetValueExW(m_hKey, name, 0, REG_SZ, data.data(), static_cast<DWORD>(data.size()));
}

LONG CRegKey::QueryBinaryValue(LPCOLESTR name, std::vector<BYTE>* value) {
    if (!m_hKey) return ERROR_INVALID_HANDLE;
    brevanto::SettingsStore::Value v;
    LONG status = Store().QueryValue(m_hKey->path, NameOf(name), &v);
    if (status != ERROR_SUCCESS) return status;
    if (v.type != REG_BINARY) return ERROR_INVALID_PARAMETER;
    *value = std::move(v.data);
    return ERROR_SUCCESS;
}

LONG CRegKey::SetBinaryValue(LPCOLESTR name, const void* data, ULONG size) {
    return RegSetValueExW(m_hKey, name, 0, REG_BINARY, static_cast<const BYTE*>(data), size);
}

LONG CRegKey::DeleteValue(LPCOLESTR name) {
    return RegDeleteValueW(m_hKey, name);
}

LONG CRegKey::RecurseDeleteKey(LPCOLESTR name) {
    if (!m_hKey) return ERROR_INVALID_HANDLE;
    return RegDeleteTreeW(m_hKey, name);
}

LONG CRegKey::SetKeyValue(LPCOLESTR subkey, LPCOLESTR value, LPCOLESTR name) {
    CRegKey key;
    LONG status = key.Create(m_hKey, subkey);
    if (status != ERROR_SUCCESS) return status;
    return key.SetStringValue(name, value);
}
