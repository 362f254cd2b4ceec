// TcpListener and TcpConnection on standalone Asio, running on the owning queue's Asio loop.
#include "platform/Tcp.hpp"

#include "platform/Dispatch.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <array>
#include <stdexcept>

namespace pokescope {

namespace {

using asio::ip::tcp;

class AsioConnection final : public TcpConnection, public std::enable_shared_from_this<AsioConnection> {
public:
    explicit AsioConnection(tcp::socket socket) : socket_(std::move(socket)) {}

    void receive(std::size_t maximum, ReceiveHandler done) override {
        auto self = shared_from_this();
        std::size_t size = std::min(maximum, buffer_.size());
        socket_.async_read_some(asio::buffer(buffer_.data(), size),
                                [self, done = std::move(done)](const std::error_code& ec, std::size_t n) {
                                    std::string_view data(self->buffer_.data(), n);
                                    if (ec == asio::error::eof)
                                        done(data, true, {});
                                    else
                                        done(data, false, ec);
                                });
    }

    void send(std::string data, std::function<void(std::error_code)> done) override {
        auto self = shared_from_this();
        auto message = std::make_shared<std::string>(std::move(data));
        asio::post(socket_.get_executor(), [self, message, done = std::move(done)]() mutable {
            asio::async_write(self->socket_, asio::buffer(*message),
                              [self, message, done = std::move(done)](const std::error_code& ec, std::size_t) {
                                  if (done)
                                      done(ec);
                              });
        });
    }

    void close() override {
        auto self = shared_from_this();
        asio::post(socket_.get_executor(), [self] {
            std::error_code ignored;
            self->socket_.shutdown(tcp::socket::shutdown_both, ignored);
            self->socket_.close(ignored);
        });
    }

private:
    tcp::socket socket_;
    // Reads are capped well below the 1 MiB a read may deliver, so that idle connections stay cheap.
    std::array<char, 64 * 1024> buffer_{};
};

class AsioListener final : public TcpListener, public std::enable_shared_from_this<AsioListener> {
public:
    AsioListener(asio::io_context& io, ConnectionHandler onConnection, StateHandler onState)
        : io_(io), acceptor_(io), retry_(io), onConnection_(std::move(onConnection)),
          onState_(std::move(onState)) {}

    void open(const std::string& host, std::uint16_t port) {
        tcp::endpoint endpoint(asio::ip::make_address(host), port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(tcp::acceptor::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen(asio::socket_base::max_listen_connections);
        port_ = acceptor_.local_endpoint().port();
    }

    void begin() {
        auto self = shared_from_this();
        asio::post(io_, [self] {
            if (self->onState_)
                self->onState_(State::ready, "");
            self->accept();
        });
    }

    std::uint16_t port() const override { return port_; }

    void cancel() override {
        auto self = shared_from_this();
        asio::post(io_, [self] {
            std::error_code ignored;
            self->cancelled_ = true;
            self->retry_.cancel();
            self->acceptor_.close(ignored);
        });
    }

private:
    void accept() {
        auto self = shared_from_this();
        acceptor_.async_accept([self](const std::error_code& ec, tcp::socket socket) {
            if (self->cancelled_ || ec == asio::error::operation_aborted)
                return;
            if (!ec) {
                std::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                if (self->onConnection_)
                    self->onConnection_(std::make_shared<AsioConnection>(std::move(socket)));
                self->accept();
                return;
            }
            // Running out of descriptors or memory passes; wait a little and go on accepting.
            if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
                ec == asio::error::no_memory || ec.value() == ENFILE) {
                self->retry_.expires_after(std::chrono::milliseconds(100));
                self->retry_.async_wait([self](const std::error_code& wait) {
                    if (!wait)
                        self->accept();
                });
                return;
            }
            if (ec == asio::error::connection_aborted || ec.value() == EPROTO || ec.value() == EPERM) {
                self->accept();
                return;
            }
            if (self->onState_)
                self->onState_(State::failed, ec.message());
        });
    }

    asio::io_context& io_;
    tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    ConnectionHandler onConnection_;
    StateHandler onState_;
    std::uint16_t port_ = 0;
    bool cancelled_ = false;
};

} // namespace

std::shared_ptr<TcpListener> TcpListener::listen(const std::string& host, std::uint16_t port, DispatchQueue& queue,
                                                 ConnectionHandler onConnection, StateHandler onState) {
    asio::io_context* io = queue.ioContext();
    if (!io)
        throw std::logic_error("the queue " + queue.label() + " has no I/O loop");
    auto listener = std::make_shared<AsioListener>(*io, std::move(onConnection), std::move(onState));
    // Binding runs on the calling thread: Asio's acceptor is safe to set up before any operation on it.
    // Asio's errors are errno values in a category of its own; callers get them in the system's, so that
    // they compare with std::errc (a port in use is std::errc::address_in_use).
    try {
        listener->open(host, port);
    } catch (const std::system_error& e) {
        if (e.code().category() != asio::error::get_system_category())
            throw;
        throw std::system_error(std::error_code(e.code().value(), std::system_category()), "can't listen");
    }
    listener->begin();
    return listener;
}

} // namespace pokescope
