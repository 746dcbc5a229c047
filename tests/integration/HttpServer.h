// A small HTTP/1.0 server on 127.0.0.1 for tests of the instructions that fetch URLs: each
// connection gets a thread of its own, the request target is recorded and answered by a
// callback. Stops (and joins every thread) when destroyed.
#ifndef KADREL_TESTS_HTTPSERVER_H
#define KADREL_TESTS_HTTPSERVER_H

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class HttpServer {
 public:
  // `respond` gets the request target ("/path?query") and returns the body to send.
  explicit HttpServer(std::function<std::string(const std::string& target)> respond)
      : respond_(std::move(respond)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len);
    listen(listenFd_, 16);
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] {  // ends when the destructor shuts the listening socket down
      for (int fd; (fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
        connections_.emplace_back([this, fd] { serve(fd); });
    });
  }
  ~HttpServer() {
    shutdown(listenFd_, SHUT_RDWR);
    acceptor_.join();
    for (std::thread& t : connections_) t.join();
    close(listenFd_);
  }

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
  // Reads the request ("GET /target HTTP/1.1" and headers), records its target, answers.
  void serve(int fd) {
    std::string request, body;
    char buf[4096];
    for (ssize_t n; request.find("\r\n\r\n") == std::string::npos && (n = read(fd, buf, sizeof buf)) > 0;)
      request.append(buf, static_cast<size_t>(n));
    const size_t start = request.find(' ') + 1;
    const std::string target = request.substr(start, request.find(' ', start) - start);
    std::unique_lock<std::mutex> lock(mutex_);
    targets_.push_back(target);
    lock.unlock();
    body = respond_(target);
    body = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    send(fd, body.data(), body.size(), MSG_NOSIGNAL);
    close(fd);
  }

  std::function<std::string(const std::string&)> respond_;
  int listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> targets_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

#endif
