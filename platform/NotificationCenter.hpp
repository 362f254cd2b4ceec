// In-process broadcast by name ("PokescopeScreenLost", "PokescopeBluetoothStateChanged") with an optional
// string object. Observers run on the posting thread, or on the queue they named when they registered.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pokescope {

class DispatchQueue;

class NotificationCenter {
public:
    using Handler = std::function<void(const std::optional<std::string>& object)>;

    // Keeps an observation alive; destroying or resetting it removes the observer. Once `reset` returns,
    // the handler is not running on another thread and will not run again.
    class Observer {
    public:
        Observer() = default;
        Observer(Observer&&) noexcept;
        Observer& operator=(Observer&&) noexcept;
        Observer(const Observer&) = delete;
        Observer& operator=(const Observer&) = delete;
        ~Observer();
        void reset();
        explicit operator bool() const { return entry_ != nullptr; }

    private:
        friend class NotificationCenter;
        struct Entry;
        std::shared_ptr<Entry> entry_;
    };


    [[nodiscard]] Observer addObserver(std::string name, Handler handler, DispatchQueue* queue = nullptr);
    void post(const std::string& name, std::optional<std::string> object = std::nullopt);

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<Observer::Entry>> entries_;
    void remove(const std::shared_ptr<Observer::Entry>& entry);
};

} // namespace pokescope
