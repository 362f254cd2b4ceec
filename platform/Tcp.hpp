// TCP listener and connections for the agent server: bind to one address and port with address reuse,
// accept, read a chunk at a time, write whole messages, close.
//
// Thread contract: the listener's handlers and every connection's completions run on the queue given to
// `listen`. `send` and `close` may be called from any thread; they take effect on that queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

namespace pokescope {

class DispatchQueue;

class TcpConnection {
public:
    // `data` is valid only during the call. `isComplete` is true once the peer has finished sending.
    using ReceiveHandler = std::function<void(std::string_view data, bool isComplete, std::error_code error)>;

    virtual ~TcpConnection() = default;
    // Reads at least one and at most `maximum` bytes (or learns that the peer finished, or an error).
    virtual void receive(std::size_t maximum, ReceiveHandler done) = 0;
    // Writes all of `data`; `done` runs once the write has finished or failed.
    virtual void send(std::string data, std::function<void(std::error_code)> done) = 0;
    virtual void close() = 0;
};

class TcpListener {
public:
    enum class State { ready, failed };
    using ConnectionHandler = std::function<void(std::shared_ptr<TcpConnection>)>;
    using StateHandler = std::function<void(State, const std::string& error)>;

    virtual ~TcpListener() = default;
    // The port actually bound (the one asked for, or the system's choice for port 0).
    virtual std::uint16_t port() const = 0;
    // Stops accepting; connections already accepted live on.
    virtual void cancel() = 0;

    // Binds `host`:`port` with address reuse and starts accepting. Throws std::system_error when the
    // listener cannot be created (port taken, bad address); reports `ready` through `onState` once it
    // accepts connections, `failed` if accepting breaks later.
    static std::shared_ptr<TcpListener> listen(const std::string& host, std::uint16_t port, DispatchQueue& queue,
                                               ConnectionHandler onConnection, StateHandler onState);
};

} // namespace pokescope
