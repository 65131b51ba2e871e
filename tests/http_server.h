// A small HTTP/1.1 server on 127.0.0.1 for tests: fixed answers per path,
// ranges as nginx serves them, and the faults real servers show (a body cut
// short or longer than announced, silence).
#pragma once
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // answers name only what they need

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

struct Answer {
    int status = 200;
    std::string body;
    long long length = -1;          // announced Content-Length; -1: the body's own
    std::string etag;               // when set, "Range" is served (with "If-Range" matching it)
    size_t cut_once = std::string::npos;  // the next answer ends after this many body bytes
    enum Fault { kNone, kSilent, kSilentAfterHeaders } fault = kNone;
};

struct HttpServer {
    int listener = -1, port = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::mutex lock;
    std::map<std::string, Answer> answers;  // by path; others get 404
    std::vector<std::string> requests;      // every request's head, in order
    std::vector<int> held;                  // silent connections, closed at stop

    void set(const std::string &path, Answer answer)
    {
        std::lock_guard<std::mutex> guard(lock);
        answers[path] = std::move(answer);
    }

    int hits_of(const std::string &path)
    {
        std::lock_guard<std::mutex> guard(lock);
        int n = 0;
        for (const std::string &r : requests)
            n += r.compare(0, path.size() + 5, "GET " + path + " ") == 0;
        return n;
    }

    void start()
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(listener, (sockaddr *)&addr, len) != 0 || listen(listener, 16) != 0)
            return;
        getsockname(listener, (sockaddr *)&addr, &len);
        port = ntohs(addr.sin_port);
        thread = std::thread([this] { serve(); });
    }

    void stop()
    {
        stopping = true;
        if (thread.joinable())
            thread.join();
        if (listener >= 0)
            close(listener);
        listener = -1;
        for (int fd : held)
            close(fd);
        held.clear();
    }

    ~HttpServer() { stop(); }

    static void send_all(int fd, const std::string &data)
    {
        for (size_t done = 0; done < data.size();) {
            ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += size_t(n);
        }
    }

    static std::string header(const std::string &request, const std::string &name)
    {
        size_t at = request.find("\r\n" + name + ": ");
        return at == std::string::npos ? "" : request.substr(at + name.size() + 4,
                                                             request.find("\r\n", at + 2) - at - name.size() - 4);
    }

    void serve()
    {
        while (!stopping) {
            pollfd p{listener, POLLIN, 0};
            int fd = poll(&p, 1, 50) > 0 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            if (fd < 0)
                continue;
            std::string request;
            char buf[4096];
            for (pollfd q{fd, POLLIN, 0}; request.find("\r\n\r\n") == std::string::npos && poll(&q, 1, 2000) > 0;) {
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                request.append(buf, size_t(n));
            }
            std::string path = request.substr(4, request.find(' ', 4) - 4);
            Answer a{404, "not here\n"};
            {
                std::lock_guard<std::mutex> guard(lock);
                requests.push_back(request);
                auto it = answers.find(path);
                if (it != answers.end()) {
                    a = it->second;
                    it->second.cut_once = std::string::npos;
                }
            }
            std::string extra, range = header(request, "Range"), if_range = header(request, "If-Range");
            long long from = -1;
            if (!a.etag.empty())
                extra = "ETag: " + a.etag + "\r\n";
            if (!a.etag.empty() && sscanf(range.c_str(), "bytes=%lld-", &from) == 1 &&
                (if_range.empty() || if_range == a.etag) && from < (long long)a.body.size()) {
                extra += "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(a.body.size() - 1) +
                         "/" + std::to_string(a.body.size()) + "\r\n";
                a.status = 206;
                a.body.erase(0, size_t(from));
            }
            if (a.fault != Answer::kSilent)
                send_all(fd, "HTTP/1.1 " + std::to_string(a.status) + " X\r\nContent-Length: " +
                                 std::to_string(a.length >= 0 ? a.length : (long long)a.body.size()) + "\r\n" +
                                 extra + "Connection: close\r\n\r\n");
            if (a.fault != Answer::kNone) {
                held.push_back(fd);
                continue;
            }
            send_all(fd, a.body.substr(0, a.cut_once));
            shutdown(fd, SHUT_WR);
            close(fd);
        }
    }
};

}  // namespace testutil
