#include "support/local_http.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

bool local_http_start(LocalHttp* s) {
    for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(v);
    setenv("no_proxy", "*", 1);
    int fds[2];
    if (pipe(fds) != 0) return false;
    fflush(nullptr);
    s->pid = fork();
    if (s->pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        execlp("python3", "python3", ORVANTA_SOURCE_DIR "/tests/net/http_server.py", (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    s->out = fds[0];
    // One line: the port and the TLS port.
    std::string line;
    char c = 0;
    pollfd p{s->out, POLLIN, 0};
    while (line.size() < 32 && poll(&p, 1, 30000) == 1 && read(s->out, &c, 1) == 1 && c != '\n') line += c;
    s->port = atoi(line.c_str());
    size_t sp = line.find(' ');
    s->tls_port = sp == std::string::npos ? 0 : atoi(line.c_str() + sp + 1);
    return s->port > 0;
}

void local_http_stop(LocalHttp* s) {
    if (s->pid > 0) {
        kill(s->pid, SIGTERM);
        waitpid(s->pid, nullptr, 0);
    }
    if (s->out >= 0) close(s->out);
    *s = LocalHttp{};
}
