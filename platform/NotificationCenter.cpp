#include "platform/NotificationCenter.hpp"

#include "platform/Dispatch.hpp"

#include <algorithm>
#include <condition_variable>
#include <thread>

namespace pokescope {

struct NotificationCenter::Observer::Entry {
    NotificationCenter* center = nullptr;
    std::string name;
    Handler handler;
    DispatchQueue* queue = nullptr;

    std::mutex mutex;
    std::condition_variable idle;
    bool active = true;
    std::vector<std::thread::id> callers; // threads inside the handler right now

    // Calls the handler unless the observer is gone; removal waits for calls on other threads to end.
    void deliver(const std::optional<std::string>& object) {
        {
            std::lock_guard lock(mutex);
            if (!active)
                return;
            callers.push_back(std::this_thread::get_id());
        }
        handler(object);
        std::lock_guard lock(mutex);
        callers.erase(std::find(callers.begin(), callers.end(), std::this_thread::get_id()));
        idle.notify_all();
    }

    void deactivate() {
        std::unique_lock lock(mutex);
        active = false;
        auto self = std::this_thread::get_id();
        // A handler that removes its own observer must not wait for itself.
        idle.wait(lock, [&] {
            return std::all_of(callers.begin(), callers.end(), [&](auto id) { return id == self; });
        });
    }
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

NotificationCenter& NotificationCenter::shared() {
    static auto* center = new NotificationCenter(); // lives for the whole process
    return *center;
}

NotificationCenter::Observer NotificationCenter::addObserver(std::string name, Handler handler,
                                                             DispatchQueue* queue) {
    auto entry = std::make_shared<Observer::Entry>();
    entry->center = this;
    entry->name = std::move(name);
    entry->handler = std::move(handler);
    entry->queue = queue;
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
