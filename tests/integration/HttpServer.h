// A small HTTP/1.0 server on 127.0.0.1 for tests of the instructions that fetch URLs: each
// connection gets a thread of its own, the request target is recorded and answered by a
// callback. Stops (and joins every thread) when destroyed.
#ifndef KADREL_TESTS_HTTPSERVER_H
#define KADREL_TESTS_HTTPSERVER_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class HttpServer {
 public:
  // `respond` gets the request target ("/path?query") and returns the body to send.
  explicit HttpServer(std::function<std::string(const std::string& target)> respond);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT" followed by `path`.
  std::string url(const std::string& path) const;
  // The targets requested so far, in order of arrival.
  std::vector<std::string> targets();

 private:
  void acceptLoop();
  void serve(int fd);

  std::function<std::string(const std::string&)> respond_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> targets_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

#endif
