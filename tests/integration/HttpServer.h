// A small HTTP/1.0 server on 127.0.0.1 for tests of the instructions that fetch URLs: each
// connection gets a thread of its own, the request target is recorded and answered by a
// callback. Stops (and joins every thread) when destroyed.
#ifndef KADREL_TESTS_HTTPSERVER_H
#define KADREL_TESTS_HTTPSERVER_H

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class HttpServer {
 public:
  // `respond` gets the request target ("/path?query") and returns the body to send.
  explicit HttpServer(std::function<std::string(const std::string& target)> respond)
      : respond_(std::move(respond)), listenFd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 16) != 0 || getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("test HTTP server cannot listen");
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] {
      for (pollfd p = {listenFd_, POLLIN, 0}; !stop_;)
        if (poll(&p, 1, 50) > 0) {
          const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
          if (fd >= 0) connections_.emplace_back([this, fd] { serve(fd); });
        }
    });
  }
  ~HttpServer() {
    stop_ = true;
    acceptor_.join();
    for (std::thread& t : connections_) t.join();
    close(listenFd_);
  }
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // "http://127.0.0.1:PORT" followed by `path`.
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // The targets requested so far, in order of arrival.
  std::vector<std::string> targets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return targets_;
  }

 private:
  void serve(int fd) {
    std::string request;
    char buf[4096];
    for (pollfd p = {fd, POLLIN, 0}; request.find("\r\n\r\n") == std::string::npos && !stop_;) {
      const ssize_t n = poll(&p, 1, 50) > 0 ? read(fd, buf, sizeof buf) : 0;
      if (n < 0 || (n == 0 && p.revents != 0)) break;
      request.append(buf, static_cast<size_t>(n));
    }
    // "GET /target HTTP/1.1"
    const size_t start = request.find(' ') + 1, end = request.find(' ', start);
    const std::string target =
        start == 0 || end == std::string::npos ? "" : request.substr(start, end - start);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets_.push_back(target);
    }
    const std::string body = respond_(target),
                      reply = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\nConnection: close\r\n\r\n" + body;
    for (size_t sent = 0; sent < reply.size();) {
      const ssize_t n = send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    close(fd);
  }

  std::function<std::string(const std::string&)> respond_;
  int listenFd_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> targets_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

#endif
