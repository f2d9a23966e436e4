/* Starts a program and measures the time until it first answers an HTTP POST on a loopback
 * port with status 200, polling every millisecond. The program keeps running; its PID and the
 * time in milliseconds are printed as "RESULT <pid> <ms>". */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int answered(int port, const char* request)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int ok = 0;
    if (connect(fd, (struct sockaddr*)&a, sizeof a) == 0 && write(fd, request, strlen(request)) == (ssize_t)strlen(request)) {
        char buf[64];
        ssize_t n = read(fd, buf, sizeof buf - 1);
        if (n > 12) {
            buf[n] = 0;
            ok = strncmp(buf + 9, "200", 3) == 0;
        }
    }
    close(fd);
    return ok;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s <port> <request file> <program> [args]...\n", argv[0]);
        return 2;
    }
    int port = atoi(argv[1]);
    static char request[65536];
    FILE* f = fopen(argv[2], "rb");
    if (!f)
        return 2;
    size_t n = fread(request, 1, sizeof request - 1, f);
    fclose(f);
    request[n] = 0;
    double start = now();
    pid_t pid = fork();
    if (pid == 0) {
        /* The caller reads our output to its end: the program must not hold it open. */
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        execv(argv[3], &argv[3]);
        _exit(127);
    }
    while (!answered(port, request)) {
        if (now() - start > 30) {
            printf("RESULT %d -1\n", (int)pid);
            return 1;
        }
        usleep(1000);
    }
    printf("RESULT %d %.1f\n", (int)pid, (now() - start) * 1000);
    return 0;
}
