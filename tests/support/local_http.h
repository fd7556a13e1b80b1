// The download tests' HTTP server (tests/net/http_server.py) on 127.0.0.1, for any test
// program. Starting it turns proxies off for this process and the hosts it forks, since
// libcurl reads the proxy variables on its own threads.
#pragma once
#include <sys/types.h>

struct LocalHttp {
    pid_t pid = -1;
    int out = -1;  // the server's standard output, kept open while it runs
    int port = 0;
    int tls_port = 0;  // the same server over TLS with a certificate no client trusts; 0 without one
};

// False when the server did not start within 30 s.
bool local_http_start(LocalHttp* s);
void local_http_stop(LocalHttp* s);
