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
    long long length = -1;                // announced Content-Length; -1: the body's own
    std::string etag;                     // when set, "Range" is served (with "If-Range" matching it)
    size_t cut_once = std::string::npos;  // the next answer ends after this many body bytes
    bool hang = false;                    // after the head, silence until the client gives up
    bool linger = false;                  // after the body, the line stays open until the client hangs up
    std::string head;                     // more header lines, each ending in "\r\n"
    // How a served range ("bytes=A-B", etag set) goes wrong: "416", "501",
    // "shifted" (the next bytes, said so), "short" (a byte fewer than
    // announced), "long" (a byte more, announced), "unannounced" (a byte
    // more, no Content-Length), "multipart", "gzip" (said to be compressed).
    std::string range_fault;
};

struct HttpServer {
    int listener = -1, port = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::mutex lock;
    std::map<std::string, Answer> answers;  // by path; others get 404
    std::vector<std::string> requests;      // every request's head, in order

    void set(const std::string &path, Answer answer)
    {
        std::lock_guard<std::mutex> guard(lock);
        answers[path] = std::move(answer);
    }

    void start()
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof addr;
        if (bind(listener, (sockaddr *)&addr, len) == 0 && listen(listener, 16) == 0 &&
            getsockname(listener, (sockaddr *)&addr, &len) == 0)
            port = ntohs(addr.sin_port);
        thread = std::thread([this] { serve(); });
    }

    void stop()
    {
        stopping = true;
        if (thread.joinable())
            thread.join(), close(listener);
    }

    ~HttpServer() { stop(); }

    // A blocking socket: send returns when all is out, or the client went away.
    static void send_all(int fd, const std::string &data) { send(fd, data.data(), data.size(), MSG_NOSIGNAL); }

    static std::string header(const std::string &request, const std::string &name)
    {
        size_t at = request.find("\r\n" + name + ": "), from = at + name.size() + 4;
        return at == std::string::npos ? "" : request.substr(from, request.find("\r\n", from) - from);
    }

    // Bytes `from` to `to` of the answer's body as a 206, or its range fault.
    static void serve_range(Answer &a, std::string &head, long long from, long long to)
    {
        const std::string size = std::to_string(a.body.size()), &fault = a.range_fault;
        if (fault == "416" || fault == "501") {
            a.status = std::stoi(fault), a.body = fault == "416" ? "" : "no ranges here\n";
            head += fault == "416" ? "Content-Range: bytes */" + size + "\r\n" : "";
            return;
        }
        if (fault == "shifted" && to + 1 < (long long)a.body.size())
            from++, to++;
        a.status = 206;
        std::string part = a.body.substr(size_t(from), size_t(to - from + 1));
        const std::string range = "bytes " + std::to_string(from) + "-" + std::to_string(to) + "/" + size;
        if (fault == "multipart") {
            head += "Content-Type: multipart/byteranges; boundary=PART\r\n";
            a.body = "--PART\r\nContent-Range: " + range + "\r\n\r\n" + part + "\r\n--PART--\r\n";
            return;
        }
        head += "Content-Range: " + range + "\r\n" + (fault == "gzip" ? "Content-Encoding: gzip\r\n" : "");
        a.body = part;
        if (fault == "short")
            a.length = (long long)part.size(), a.body.pop_back();
        else if (fault == "long" || fault == "unannounced")
            a.body += '\x7f', a.length = -1;
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
            ssize_t n = 1;
            for (pollfd q{fd, POLLIN, 0}; request.find("\r\n\r\n") == std::string::npos && n > 0;)
                if ((n = poll(&q, 1, 2000) > 0 ? recv(fd, buf, sizeof buf, 0) : 0) > 0)
                    request.append(buf, size_t(n));
            Answer a{404, "not here\n"};
            {
                std::lock_guard<std::mutex> guard(lock);
                requests.push_back(request);
                auto it = answers.find(request.substr(std::min<size_t>(4, request.size()), request.find(' ', 4) - 4));
                if (it != answers.end())
                    a = it->second, it->second.cut_once = std::string::npos;
            }
            std::string head = a.head + (a.etag.empty() ? "" : "ETag: " + a.etag + "\r\n"), if_range = header(request, "If-Range");
            long long from = -1, to = -1, size = (long long)a.body.size();
            if (!a.etag.empty() && sscanf(header(request, "Range").c_str(), "bytes=%lld-%lld", &from, &to) >= 1 &&
                (if_range.empty() || if_range == a.etag) && from < size)
                serve_range(a, head, from, to < 0 || to >= size ? size - 1 : to);
            send_all(fd, "HTTP/1.1 " + std::to_string(a.status) + " X\r\n" +
                             (a.range_fault == "unannounced"
                                  ? std::string()
                                  : "Content-Length: " +
                                        std::to_string(a.length >= 0 ? a.length : (long long)a.body.size()) + "\r\n") +
                             head + "Connection: close\r\n\r\n");
            if (!a.hang)
                send_all(fd, a.body.substr(0, a.cut_once));
            for (pollfd q{fd, POLLIN, 0}; (a.hang || a.linger) && !stopping && poll(&q, 1, 50) == 0;) {
            }
            shutdown(fd, SHUT_WR);
            close(fd);
        }
    }
};

}  // namespace testutil
