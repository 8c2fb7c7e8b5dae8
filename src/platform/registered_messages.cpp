// Registered window messages: process-wide numbers by name, and the host's listeners.
#include <map>
#include <mutex>
#include <string>

#include "platform/apartment.h"

namespace {

struct Messages {
    std::mutex mutex;
    std::map<std::u16string, UINT> numbers;  // by name folded to lower case
    std::map<int, std::shared_ptr<MessageListener>> listeners;
    int next_listener = 0;
};

// Never destroyed: modules register at load and may broadcast while the process exits.
Messages& TheMessages() {
    static auto* messages = new Messages;
    return *messages;
}

}  // namespace

UINT RegisterWindowMessageW(LPCOLESTR name) {
    if (!name || !*name) return 0;
    std::u16string key(name);
    for (auto& c : key)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    Messages& m = TheMessages();
    std::lock_guard lock(m.mutex);
    auto [it, added] = m.numbers.emplace(key, 0);
    if (added) it->second = static_cast<UINT>(0xC000 + m.numbers.size() - 1);
    return it->second;
}

int AddMessageListener(MessageListener listener) {
    Messages& m = TheMessages();
    std::lock_guard lock(m.mutex);
    int id = ++m.next_listener;
    m.listeners.emplace(id, std::make_shared<MessageListener>(std::move(listener)));
    return id;
}

void RemoveMessageListener(int id) {
    Messages& m = TheMessages();
    std::lock_guard lock(m.mutex);
    m.listeners.erase(id);
}

int BroadcastRegisteredMessage(UINT message, std::uintptr_t wparam, std::intptr_t lparam) {
    std::vector<std::shared_ptr<MessageListener>> reached;
    {
        Messages& m = TheMessages();
        std::lock_guard lock(m.mutex);
        for (auto& [id, listener] : m.listeners)
            reached.push_back(listener);
    }
    // Called outside the lock, so a listener may add or remove listeners.
    for (auto& listener : reached)
        (*listener)(message, wparam, lparam);
    return static_cast<int>(reached.size());
}
