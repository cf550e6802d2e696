// A small stand-in for the adapter's web server on 127.0.0.1: it answers each
// connection with the next scripted answer (the last one repeats), records
// every request, and can keep an answer back until the test releases it, or
// hold the connection open for good.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AdapterAnswer {
  std::string text;
  bool held = false;  // sent only after a Release(); never when text is empty
};

// An answer that waits for Release(); HoldForever() never comes.
inline AdapterAnswer Held(std::string text) { return AdapterAnswer{std::move(text), true}; }
inline AdapterAnswer HoldForever() { return AdapterAnswer{std::string(), true}; }

class ScriptedAdapter {
 public:
  explicit ScriptedAdapter(std::vector<AdapterAnswer> answers) : answers_(std::move(answers)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 8);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }

  ~ScriptedAdapter() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    thread_.join();
  }

  std::uint16_t port() const { return port_; }

  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  // Lets the next held answer go.
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++releases_;
    }
    changed_.notify_all();
  }

 private:
  void Serve() {
    for (std::size_t n = 0;; ++n) {
      int connection = accept(listener_, nullptr, nullptr);
      if (connection < 0) return;
      std::string request;
      char chunk[2048];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t got = recv(connection, static_cast<void*>(chunk), sizeof chunk, 0);
        if (got <= 0) break;
        request.append(chunk, static_cast<std::size_t>(got));
      }
      const AdapterAnswer& answer = answers_[n < answers_.size() ? n : answers_.size() - 1];
      const std::string& response = answer.text;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        requests_.push_back(request);
        if (answer.held) {
          // Meanwhile the exchange stays blocked in its receive.
          changed_.wait(lock, [&] { return stopping_ || (!response.empty() && releases_ > used_); });
          if (stopping_) {
            close(connection);
            return;
          }
          ++used_;
        }
      }
      for (std::size_t sent = 0; sent < response.size();) {
        ssize_t put = send(connection, static_cast<const void*>(response.data() + sent), response.size() - sent,
                           static_cast<int>(MSG_NOSIGNAL));
        if (put <= 0) break;
        sent += static_cast<std::size_t>(put);
      }
      close(connection);
    }
  }

  std::vector<AdapterAnswer> answers_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> requests_;
  int releases_ = 0;
  int used_ = 0;
  bool stopping_ = false;
};

inline AdapterAnswer Answer(std::string text) { return AdapterAnswer{std::move(text), false}; }

inline std::string Challenge(const std::string& nonce) {
  return "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"ZEM\", nonce=\"" + nonce +
         "\", qop=\"auth\", algorithm=\"MD5\"\r\nContent-Length: 0\r\n\r\n";
}

// A status page of exactly `size` bytes (at least the length of its head).
inline std::string StatusPage(std::size_t size) {
  std::string page =
      "HTTP/1.1 200 OK\r\n\r\n<tr><td>Product Name:</td><td>ZEM-4200</td></tr>"
      "<tr><td>Software Version:</td><td>1.5.2</td></tr>";
  if (page.size() < size) page.append(size - page.size(), ' ');
  return page;
}
