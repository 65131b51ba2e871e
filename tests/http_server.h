// A small HTTP/1.1 server on 127.0.0.1 for tests: fixed answers per path,
// plus the faults real servers show (truncated body, silence).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
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
    enum Fault { kNone, kTruncate, kSilent, kSilentAfterHeaders } fault = kNone;
};

struct HttpServer {
    int listener = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::mutex lock;
    std::map<std::string, Answer> answers;  // by path; others get 404
    std::map<std::string, int> hits;
    std::vector<int> held;                  // silent connections, closed at stop

    void set(const std::string &path, Answer answer)
    {
        std::lock_guard<std::mutex> guard(lock);
        answers[path] = std::move(answer);
    }

    int hits_of(const std::string &path)
    {
        std::lock_guard<std::mutex> guard(lock);
        return hits[path];
    }

    // Serves from a child process instead of a thread: for tests that fork
    // themselves, since a fork taken while another thread holds the sanitizer
    // allocator's lock deadlocks the child. Answers must be set before.
    pid_t child = -1;
    void start_process()
    {
        listen_socket();
        child = fork();
        if (child == 0) {
            serve();
            _exit(0);
        }
    }

    void start()
    {
        listen_socket();
        thread = std::thread([this] { serve(); });
    }

    void listen_socket()
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        int one = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(listener, (sockaddr *)&addr, sizeof addr) != 0 || listen(listener, 16) != 0)
            return;
        socklen_t len = sizeof addr;
        getsockname(listener, (sockaddr *)&addr, &len);
        port = ntohs(addr.sin_port);
    }

    void stop()
    {
        if (listener < 0)
            return;
        stopping = true;
        if (child > 0) {
            kill(child, SIGTERM);
            waitpid(child, nullptr, 0);
            child = -1;
        }
        if (thread.joinable())
            thread.join();
        close(listener);
        listener = -1;
        for (int fd : held)
            close(fd);
        held.clear();
    }

    ~HttpServer() { stop(); }

    static void send_all(int fd, const std::string &data)
    {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += size_t(n);
        }
    }

    void serve()
    {
        while (!stopping) {
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                pollfd q{fd, POLLIN, 0};
                if (poll(&q, 1, 2000) <= 0)
                    break;
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                request.append(buf, size_t(n));
            }
            size_t sp1 = request.find(' '), sp2 = request.find(' ', sp1 + 1);
            std::string path = sp1 == std::string::npos ? "" : request.substr(sp1 + 1, sp2 - sp1 - 1);
            Answer answer;
            {
                std::lock_guard<std::mutex> guard(lock);
                hits[path]++;
                auto it = answers.find(path);
                if (it != answers.end())
                    answer = it->second;
                else
                    answer = Answer{404, "not here\n", Answer::kNone};
            }
            if (answer.fault == Answer::kSilent) {
                held.push_back(fd);
                continue;
            }
            size_t announced = answer.body.size() + (answer.fault == Answer::kTruncate ? 1000 : 0);
            std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " X\r\nContent-Length: " +
                               std::to_string(announced) + "\r\nConnection: close\r\n\r\n";
            send_all(fd, head);
            if (answer.fault == Answer::kSilentAfterHeaders) {
                held.push_back(fd);
                continue;
            }
            send_all(fd, answer.body);
            shutdown(fd, SHUT_WR);
            close(fd);
        }
    }
};

}  // namespace testutil
