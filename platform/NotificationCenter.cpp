#include "platform/NotificationCenter.hpp"

#include "platform/Dispatch.hpp"
#include "platform/GuardedCallback.hpp"

#include <algorithm>

namespace pokescope {

struct NotificationCenter::Observer::Entry {
    NotificationCenter* center = nullptr;
    std::string name;
    DispatchQueue* queue = nullptr;
    GuardedCallback<const std::optional<std::string>&> handler;

    Entry(NotificationCenter* c, std::string n, Handler h, DispatchQueue* q)
        : center(c), name(std::move(n)), queue(q), handler(std::move(h)) {}
    void deliver(const std::optional<std::string>& object) { handler.call(object); }
    void deactivate() { handler.withdraw(); }
};

NotificationCenter::Observer::Observer(Observer&& other) noexcept : entry_(std::move(other.entry_)) {}

NotificationCenter::Observer& NotificationCenter::Observer::operator=(Observer&& other) noexcept {
    if (this != &other) {
        reset();
        entry_ = std::move(other.entry_);
    }
    return *this;
}

NotificationCenter::Observer::~Observer() { reset(); }

void NotificationCenter::Observer::reset() {
    if (!entry_)
        return;
    entry_->center->remove(entry_);
    entry_->deactivate();
    entry_.reset();
}

NotificationCenter::Observer NotificationCenter::addObserver(std::string name, Handler handler,
                                                             DispatchQueue* queue) {
    auto entry = std::make_shared<Observer::Entry>(this, std::move(name), std::move(handler), queue);
    {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    }
    Observer observer;
    observer.entry_ = std::move(entry);
    return observer;
}

void NotificationCenter::remove(const std::shared_ptr<Observer::Entry>& entry) {
    std::lock_guard lock(mutex_);
    entries_.erase(std::remove(entries_.begin(), entries_.end(), entry), entries_.end());
}

void NotificationCenter::post(const std::string& name, std::optional<std::string> object) {
    std::vector<std::shared_ptr<Observer::Entry>> matching;
    {
        std::lock_guard lock(mutex_);
        for (auto& entry : entries_)
            if (entry->name == name)
                matching.push_back(entry);
    }
    for (auto& entry : matching) {
        if (entry->queue)
            entry->queue->async([entry, object] { entry->deliver(object); });
        else
            entry->deliver(object);
    }
}

} // namespace pokescope
