// The test HTTP server.
#include "HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

HttpServer::HttpServer(std::function<std::string(const std::string&)> respond)
    : respond_(std::move(respond)) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listenFd_, 16) != 0 || getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("test HTTP server cannot listen");
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpServer::~HttpServer() {
  stop_ = true;
  acceptor_.join();
  for (std::thread& t : connections_) t.join();
  close(listenFd_);
}

std::string HttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> HttpServer::targets() {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

void HttpServer::acceptLoop() {
  while (!stop_) {
    pollfd p = {listenFd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) connections_.emplace_back([this, fd] { serve(fd); });
  }
}

void HttpServer::serve(int fd) {
  std::string request;
  char buf[4096];
  while (request.find("\r\n\r\n") == std::string::npos && !stop_) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    request.append(buf, static_cast<size_t>(n));
  }
  // "GET /target HTTP/1.1"
  const size_t start = request.find(' ') + 1, end = request.find(' ', start);
  const std::string target = start == 0 || end == std::string::npos ? "" : request.substr(start, end - start);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    targets_.push_back(target);
  }
  const std::string body = respond_(target);
  const std::string reply =
      "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n" + body;
  for (size_t sent = 0; sent < reply.size();) {
    ssize_t n = send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  close(fd);
}
