/* Baseline for plug-in commands: runs "<script> <word>" through popen and reads its output,
 * from N threads for a fixed time; thread i uses script i modulo the scripts given.
 * Prints "RESULT <runs> <runs per second>". */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static const char** scripts;
static int nscripts;
static const char* word;
static double seconds;

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void* run(void* arg)
{
    long id = (long)arg;
    long count = 0;
    char cmd[4096], buf[4096];
    double end = now() + seconds;
    for (long i = id; now() < end; ++i) {
        snprintf(cmd, sizeof cmd, "'%s' '%s'", scripts[i % nscripts], word);
        FILE* p = popen(cmd, "r");
        if (!p)
            continue;
        while (fread(buf, 1, sizeof buf, p) > 0) {
        }
        if (pclose(p) == 0)
            ++count;
    }
    return (void*)count;
}

int main(int argc, char** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: %s <threads> <seconds> <word> <script>...\n", argv[0]);
        return 2;
    }
    int threads = atoi(argv[1]);
    seconds = atof(argv[2]);
    word = argv[3];
    scripts = (const char**)&argv[4];
    nscripts = argc - 4;
    pthread_t* t = calloc(threads, sizeof *t);
    double start = now();
    for (long i = 0; i < threads; ++i)
        pthread_create(&t[i], NULL, run, (void*)i);
    long total = 0;
    for (int i = 0; i < threads; ++i) {
        void* r;
        pthread_join(t[i], &r);
        total += (long)r;
    }
    double elapsed = now() - start;
    printf("RESULT %ld %.1f\n", total, total / elapsed);
    free(t);
    return 0;
}
